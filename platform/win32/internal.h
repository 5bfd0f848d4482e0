// What the Win32 platform files share among themselves; nothing outside
// platform/win32/ includes this.
#pragma once

#include <windows.h>

#include "platform/platform.h"

namespace platform::win32 {

inline HANDLE AsHandle(FindHandle* search) {
  return reinterpret_cast<HANDLE>(search);
}
inline HANDLE AsHandle(FileHandle* file) {
  return reinterpret_cast<HANDLE>(file);
}

inline FileTime FromWin32(const FILETIME& time) {
  return {time.dwLowDateTime, time.dwHighDateTime};
}

// Opens what `path` names, directories included (backup semantics), only to
// ask about it; links are followed.
inline HANDLE OpenForQuery(const char* path) {
  return CreateFileA(
      path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Writes a fresh temporary name, `.kv<pid>-<random>.tmp`, at `at` in `path`
// (`size` characters).  False when the system gives no random number or the
// name does not fit.
bool MakeTemporaryName(wchar_t* path, size_t at, size_t size);

// Removes the temporary files of runs that ended without removing theirs
// (killed, or the power gone) from the directory that is the first `at`
// characters of `path` (`size` characters; the rest is overwritten).  A live
// run holds its file open without delete sharing: deleting it fails, and it
// stays.
void RemoveDeadRunsFiles(wchar_t* path, size_t at, size_t size);

}  // namespace platform::win32
