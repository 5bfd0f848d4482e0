// Putting a finished file in the database's place: what it keeps of the
// file it replaces, the rename through its own handle, and the way around
// a reader that holds the replaced file open.
#include <windows.h>
// After windows.h, whose types it uses.
#include <aclapi.h>

#include <cwchar>

#include "platform/win32/internal.h"

namespace platform::win32 {
namespace {

// What the replaced file passes on besides its creation time and DACL, as
// ReplaceFile does; read-only is not among them, as it would keep the next
// run from replacing the database.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

}  // namespace

void TakeOverFrom(HANDLE held, const wchar_t* target,
                  const WIN32_FILE_ATTRIBUTE_DATA& replaced) {
  FILE_BASIC_INFO basic = {};
  basic.CreationTime.LowPart = replaced.ftCreationTime.dwLowDateTime;
  basic.CreationTime.HighPart =
      static_cast<LONG>(replaced.ftCreationTime.dwHighDateTime);
  basic.FileAttributes =
      FILE_ATTRIBUTE_ARCHIVE | (replaced.dwFileAttributes & kKeptAttributes);
  SetFileInformationByHandle(held, FileBasicInfo, &basic, sizeof basic);
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr;
  if (GetNamedSecurityInfoW(target, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, &dacl, nullptr,
                            &security) != ERROR_SUCCESS) {
    return;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision;
  GetSecurityDescriptorControl(security, &control, &revision);
  // Inherited entries come from the directory again, as they would for the
  // replaced file.
  SECURITY_INFORMATION which =
      DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED) != 0
                                       ? PROTECTED_DACL_SECURITY_INFORMATION
                                       : UNPROTECTED_DACL_SECURITY_INFORMATION);
  if (dacl != nullptr) {
    SetSecurityInfo(held, SE_FILE_OBJECT, which, nullptr, nullptr, dacl,
                    nullptr);
  }
  LocalFree(security);
}

bool RenameByHandle(HANDLE file, const wchar_t* name, bool replace) {
  union {
    FILE_RENAME_INFO info;
    unsigned char
        bytes[sizeof(FILE_RENAME_INFO) + kLongPathSize * sizeof(wchar_t)];
  } rename = {};
  rename.info.ReplaceIfExists = replace;
  rename.info.FileNameLength =
      static_cast<DWORD>(wcslen(name) * sizeof(wchar_t));
  // The native form: `\??\` where the Win32 one has `\\?\`.
  wcscpy(rename.info.FileName, name);
  rename.info.FileName[1] = L'?';
  return SetFileInformationByHandle(file, FileRenameInfo, &rename,
                                    sizeof rename) != 0;
}

bool MoveAsideAndIntoPlace(HANDLE held, const wchar_t* target) {
  DWORD attributes = GetFileAttributesW(target);
  // A read-only file is not for replacing; a missing one, for trying again.
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) !=
          0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  HANDLE replaced = CreateFileW(
      target, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (replaced == INVALID_HANDLE_VALUE) return false;
  // Named as this program's temporary files are: should the process end
  // before it is deleted, the next run removes it.
  wchar_t aside[kLongPathSize];
  size_t directory = static_cast<size_t>(wcsrchr(target, L'\\') - target) + 1;
  wmemcpy(aside, target, directory);
  bool moved = MakeTemporaryName(aside, directory, kLongPathSize) &&
               RenameByHandle(replaced, aside, false);
  DWORD error = GetLastError();
  if (moved && !RenameByHandle(held, target, false)) {
    error = GetLastError();
    RenameByHandle(replaced, target, false);
    moved = false;
  }
  if (moved) MarkForDeletion(replaced);
  CloseHandle(replaced);
  SetLastError(error);
  return moved;
}

}  // namespace platform::win32
