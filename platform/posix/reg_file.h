// The POSIX port's registry: the keys of a REGEDIT4 export, as Windows'
// regedit writes and imports them.
//
//   REGEDIT4                      (or "Windows Registry Editor Version 5.00")
//   [HKEY_CURRENT_USER\Software\Pelmar\Database]
//   "Drives"="cd"                 string: \\ and \" escapes, stored with NUL
//   "Data"=hex:63,64              raw bytes; a line may end in `\` to go on
//   "Count"=dword:0000000a        four bytes, little-endian
//
// Key paths and value names match without regard to case, as on Windows.
#pragma once

#include <map>
#include <string>

namespace platform::posix {

struct NoCase {
  bool operator()(const std::string& a, const std::string& b) const;
};

using RegistryValues = std::map<std::string, std::string, NoCase>;
// Full key path (`HKEY_CURRENT_USER\Software\...`) to its values.
using RegistryKeys = std::map<std::string, RegistryValues, NoCase>;

// Parses `text`, read from `fileName`, into `keys`.  On a malformed line
// returns false with `*error` naming the file and the line.
bool ParseRegistryFile(const std::string& text, const std::string& fileName,
                       RegistryKeys* keys, std::string* error);

}  // namespace platform::posix
