#include "platform/posix/drive_table.h"

#include <cctype>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/config_lines.h"

namespace platform::posix {

namespace {

struct TypeName {
  const char* name;
  uint32_t type;
};

constexpr TypeName kTypeNames[] = {
    {"removable", platform::kDriveRemovable}, {"fixed", platform::kDriveFixed},
    {"remote", platform::kDriveRemote},       {"cdrom", platform::kDriveCdrom},
    {"ramdisk", platform::kDriveRamdisk},
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

size_t SkipBlanks(const std::string& line, size_t at) {
  while (at < line.size() && IsBlank(line[at])) ++at;
  return at;
}

std::string StripRoot(std::string root) {
  while (!root.empty() && (IsBlank(root.back()) || root.back() == '\r')) {
    root.pop_back();
  }
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root == "/") root.clear();
  return root;
}

// Parses one line that is neither blank nor a comment; false with `*reason`.
bool ParseLine(const std::string& line, DriveTable* table,
               std::string* reason) {
  size_t at = SkipBlanks(line, 0);
  size_t letterEnd = at;
  while (letterEnd < line.size() && !IsBlank(line[letterEnd])) ++letterEnd;
  std::string letter = line.substr(at, letterEnd - at);
  if (letter.size() != 1 || !isalpha(static_cast<unsigned char>(letter[0]))) {
    *reason = "\"" + letter + "\" is not a drive letter";
    return false;
  }
  int index = toupper(static_cast<unsigned char>(letter[0])) - 'A';

  at = SkipBlanks(line, letterEnd);
  size_t typeEnd = at;
  while (typeEnd < line.size() && !IsBlank(line[typeEnd])) ++typeEnd;
  std::string typeName = line.substr(at, typeEnd - at);
  while (!typeName.empty() && typeName.back() == '\r') typeName.pop_back();
  uint32_t type = 0;
  for (const TypeName& known : kTypeNames) {
    if (typeName == known.name) type = known.type;
  }
  if (type == 0) {
    *reason = typeName.empty()
                  ? std::string("the drive type is missing")
                  : "unknown drive type \"" + typeName +
                        "\" (removable, fixed, remote, cdrom or ramdisk)";
    return false;
  }

  at = SkipBlanks(line, typeEnd);
  std::string root = line.substr(at);
  while (!root.empty() && (IsBlank(root.back()) || root.back() == '\r')) {
    root.pop_back();
  }
  if (root.empty() || root[0] != '/') {
    *reason = root.empty() ? std::string("the root directory is missing")
                           : "the root directory \"" + root +
                                 "\" is not an absolute path";
    return false;
  }
  for (char c : root) {
    // A NUL would cut the path short, and other control bytes have no place
    // in a directory anyone means to list.
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      *reason = "the root directory \"" + root + "\" holds a control character";
      return false;
    }
  }
  if (table->type[index] != 0) {
    *reason = std::string("drive ") + static_cast<char>('A' + index) +
              " is listed twice";
    return false;
  }
  table->type[index] = type;
  table->root[index] = StripRoot(root);
  return true;
}

}  // namespace

bool ParseDriveTable(const std::string& text, const std::string& fileName,
                     DriveTable* table, std::string* error) {
  *table = DriveTable();
  LineReader lines(text);
  std::string line;
  while (lines.Next(&line)) {
    size_t first = SkipBlanks(line, 0);
    if (first == line.size() || line[first] == '#' || line[first] == '\r') {
      continue;
    }
    std::string reason;
    if (!ParseLine(line, table, &reason)) {
      *error =
          ConfigurationError("Drive table", fileName, lines.Number(), reason);
      return false;
    }
  }
  return true;
}

DriveTable BuiltInDriveTable() {
  DriveTable table;
  table.type['C' - 'A'] = platform::kDriveFixed;
  table.root['C' - 'A'] = "";
  return table;
}

}  // namespace platform::posix
