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

}  // namespace platform::win32
