#include "platform/posix/reg_file.h"

#include <cctype>
#include <cstdlib>

#include "platform/posix/config_lines.h"

namespace platform::posix {

bool NoCase::operator()(const std::string& a, const std::string& b) const {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    int x = tolower(static_cast<unsigned char>(a[i]));
    int y = tolower(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

namespace {

std::string Trimmed(const std::string& line) {
  size_t begin = 0, end = line.size();
  while (begin < end && isspace(static_cast<unsigned char>(line[begin])))
    ++begin;
  while (end > begin && isspace(static_cast<unsigned char>(line[end - 1])))
    --end;
  return line.substr(begin, end - begin);
}

// Reads a quoted string at `text[*at]` (the opening quote) with the \\ and
// \" escapes.  False when it does not close.
bool QuotedString(const std::string& text, size_t* at, std::string* out) {
  out->clear();
  for (size_t i = *at + 1; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      *out += text[++i];
    } else if (c == '"') {
      *at = i + 1;
      return true;
    } else {
      *out += c;
    }
  }
  return false;
}

bool HexBytes(const std::string& list, std::string* out, std::string* reason) {
  out->clear();
  size_t at = 0;
  while (at < list.size()) {
    size_t comma = list.find(',', at);
    std::string item = Trimmed(list.substr(at, comma - at));
    if (item.size() != 2 || !isxdigit(static_cast<unsigned char>(item[0])) ||
        !isxdigit(static_cast<unsigned char>(item[1]))) {
      *reason = "\"" + item + "\" is not a hex byte";
      return false;
    }
    *out += static_cast<char>(strtoul(item.c_str(), nullptr, 16));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return true;
}

// Parses one value line (`"Name"=data` or `@=data`) into `values`.
bool ValueLine(const std::string& line, RegistryValues* values,
               std::string* reason) {
  std::string name;
  size_t at = 0;
  if (line[0] == '@') {
    at = 1;
  } else if (line[0] != '"' || !QuotedString(line, &at, &name)) {
    *reason = "a value line starts with a quoted name or @";
    return false;
  }
  while (at < line.size() && isspace(static_cast<unsigned char>(line[at])))
    ++at;
  if (at >= line.size() || line[at] != '=') {
    *reason = "\"=\" is missing after the value name";
    return false;
  }
  std::string data = Trimmed(line.substr(at + 1));
  std::string bytes;
  if (data == "-") {
    values->erase(name);
    return true;
  }
  if (!data.empty() && data[0] == '"') {
    size_t end = 0;
    if (!QuotedString(data, &end, &bytes) || Trimmed(data.substr(end)) != "") {
      *reason = "the string value does not end";
      return false;
    }
    bytes += '\0';  // as on Windows, a string's data includes its NUL
  } else if (data.compare(0, 6, "dword:") == 0) {
    std::string digits = data.substr(6);
    char* end = nullptr;
    unsigned long value = strtoul(digits.c_str(), &end, 16);
    if (digits.empty() || digits.size() > 8 || *end != '\0') {
      *reason = "\"" + digits + "\" is not a dword";
      return false;
    }
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>(value >> (8 * i));
  } else if (data.compare(0, 3, "hex") == 0 &&
             data.find(':') != std::string::npos) {
    // hex: and the typed hex(N): forms alike: their bytes as they stand.
    if (!HexBytes(data.substr(data.find(':') + 1), &bytes, reason))
      return false;
  } else {
    *reason = "unknown value data \"" + data + "\"";
    return false;
  }
  (*values)[name] = bytes;
  return true;
}

}  // namespace

bool ParseRegistryFile(const std::string& text, const std::string& fileName,
                       RegistryKeys* keys, std::string* error) {
  keys->clear();
  // Editors that save UTF-8 may put a byte-order mark before the header.
  static const char kByteOrderMark[] = "\xEF\xBB\xBF";
  size_t start = text.compare(0, 3, kByteOrderMark) == 0 ? 3 : 0;
  const std::string body = text.substr(start);
  LineReader lines(body);
  std::string raw;
  RegistryValues* current = nullptr;
  bool headerSeen = false;
  while (lines.Next(&raw)) {
    unsigned number = lines.Number();
    std::string line = Trimmed(raw);
    // A line ending in `\` goes on in the next one (long hex lists).
    while (!line.empty() && line.back() == '\\' &&
           line.find("=hex") != std::string::npos && lines.Next(&raw)) {
      line.pop_back();
      line += Trimmed(raw);
    }
    if (line.empty() || line[0] == ';') continue;
    std::string reason;
    if (!headerSeen) {
      if (line == "REGEDIT4" ||
          line == "Windows Registry Editor Version 5.00") {
        headerSeen = true;
        continue;
      }
      reason = "the file does not start with REGEDIT4";
    } else if (line[0] == '[') {
      if (line.back() != ']') {
        reason = "the key does not end in \"]\"";
      } else if (line[1] == '-') {
        keys->erase(line.substr(2, line.size() - 3));
        current = nullptr;
        continue;
      } else {
        current = &(*keys)[line.substr(1, line.size() - 2)];
        continue;
      }
    } else if (current == nullptr) {
      reason = "a value stands outside any key";
    } else if (ValueLine(line, current, &reason)) {
      continue;
    }
    *error = ConfigurationError("Registry file", fileName, number, reason);
    return false;
  }
  return true;
}

}  // namespace platform::posix
