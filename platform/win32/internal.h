// What the Win32 platform files share among themselves; nothing outside
// platform/win32/ includes this.
#pragma once

#include <windows.h>

#include "platform/platform.h"

namespace platform::win32 {

// Long enough for the `\\?\` form of a full path, or a link's target.
constexpr DWORD kLongPathSize = 2048;

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

// The file goes when its last handle closes: at the latest when the process
// ends, however it ends.
inline void MarkForDeletion(HANDLE file) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                             sizeof disposition);
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

// Gives `held`, the file about to take `target`'s place, what ReplaceFile
// would keep of `replaced`, `target`'s attributes: its creation time, some
// attributes, its DACL.  What cannot be kept does not stop the replacement.
void TakeOverFrom(HANDLE held, const wchar_t* target,
                  const WIN32_FILE_ATTRIBUTE_DATA& replaced);

// Renames what `file` (open with DELETE access) is to `name`, a `\\?\`
// path, through its handle.
bool RenameByHandle(HANDLE file, const wchar_t* name, bool replace);

// Puts `held` in `target`'s place when another program has `target` open,
// which no rename may replace: `target` goes aside under a temporary name
// and is deleted once no program has it open.  False, with
// ERROR_SHARING_VIOLATION, when the program has it open without delete
// sharing.
bool MoveAsideAndIntoPlace(HANDLE held, const wchar_t* target);

}  // namespace platform::win32
