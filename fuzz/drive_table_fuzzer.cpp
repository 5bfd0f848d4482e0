// The POSIX drive table: any text is parsed or refused with a message that
// names the line and holds no control byte but its final line feed; a table
// parsed, written out again, parses to the same table.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/posix/drive_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  platform::posix::DriveTable table;
  std::string error;
  if (!platform::posix::ParseDriveTable(text, "drives", &table, &error)) {
    if (error.compare(0, 19, "Drive table drives,") != 0) abort();
    for (size_t i = 0; i + 1 < error.size(); ++i) {
      auto byte = static_cast<unsigned char>(error[i]);
      if (byte < 0x20 || byte == 0x7F) abort();
    }
    if (error.back() != '\n') abort();
    return 0;
  }
  for (int i = 0; i < 26; ++i) {
    const std::string& root = table.root[i];
    if (table.type[i] == 0) {
      if (!root.empty()) abort();
      continue;
    }
    // "" is `/`; any other root is absolute, without a trailing `/`, and
    // free of control bytes.
    if (root.empty()) continue;
    if (root[0] != '/' || root.back() == '/') abort();
    for (char c : root) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) abort();
    }
  }
  static const char* const kTypes[] = {"",       "",      "removable", "fixed",
                                       "remote", "cdrom", "ramdisk"};
  // Each root with a `/` after it, which keeps a blank at its end.
  std::string written;
  for (int i = 0; i < 26; ++i) {
    if (table.type[i] == 0) continue;
    if (table.type[i] > 6) abort();
    written += std::string(1, static_cast<char>('A' + i)) + " " +
               kTypes[table.type[i]] + " " + table.root[i] + "/\n";
  }
  platform::posix::DriveTable again;
  if (!platform::posix::ParseDriveTable(written, "again", &again, &error)) {
    abort();
  }
  for (int i = 0; i < 26; ++i) {
    if (again.type[i] != table.type[i] || again.root[i] != table.root[i]) {
      abort();
    }
  }
  return 0;
}
