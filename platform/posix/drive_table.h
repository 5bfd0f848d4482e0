// The POSIX port's drive table: which drive letters exist, their types and
// the directories they stand for.
//
// One drive a line: its letter, its type (removable, fixed, remote, cdrom,
// ramdisk) and its root directory, the rest of the line.  Blank lines and
// lines starting with `#` are skipped.
#pragma once

#include <cstdint>
#include <string>

namespace platform::posix {

struct DriveTable {
  uint32_t type[26] = {};  // 0 (no drive) where a letter is not listed
  std::string root[26];    // absolute, without a trailing `/` (`/` is "")
};

// Parses `text`, read from `fileName`.  On a malformed line returns false
// with `*error` naming the file and the line.
bool ParseDriveTable(const std::string& text, const std::string& fileName,
                     DriveTable* table, std::string* error);

// The table used when no file names one: C: is the root directory.
DriveTable BuiltInDriveTable();

}  // namespace platform::posix
