// Replacing the database whole: a temporary file beside it, ReplaceFileW
// or MoveFileExW, and the console's interrupts that delete the temporary
// file on their way out.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "platform/platform.h"

namespace platform {
namespace {

// Long enough for the `\\?\` form of a full path, or a link's target.
constexpr DWORD kLongPathSize = 2048;

// The replacement under way, both names in the `\\?\` form: a temporary
// name beside a path of 259 characters may be longer than MAX_PATH.  The
// lock orders the console's interrupt thread against the main thread;
// gArmed says that the temporary file exists and is this process's to
// delete.
wchar_t gTarget[kLongPathSize];
wchar_t gTemporary[kLongPathSize];
wchar_t gScratch[kLongPathSize];
bool gReplacing = false;  // there is a file to replace
bool gArmed = false;
unsigned gAttempts = 0;
CRITICAL_SECTION gLock;
bool gLockReady = false;

BOOL WINAPI DeleteOnInterrupt(DWORD) {
  EnterCriticalSection(&gLock);
  // Shared for deletion: the file goes when the process's handle closes.
  if (gArmed) DeleteFileW(gTemporary);
  gArmed = false;
  // The lock stays taken until the process ends, so that the main thread
  // cannot move the deleted file into place meanwhile; the system's own
  // handler, next in the chain, ends the process.
  return FALSE;
}

// Lock held.
void Arm() {
  gArmed = true;
  SetConsoleCtrlHandler(DeleteOnInterrupt, TRUE);
}

// Lock held.
void Disarm() {
  gArmed = false;
  SetConsoleCtrlHandler(DeleteOnInterrupt, FALSE);
}

// `path` (ANSI) as a full path in the `\\?\` form, into gTarget.
bool LongForm(const char* path) {
  wchar_t wide[kPathSize];
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, kPathSize) == 0) {
    return false;
  }
  DWORD length = GetFullPathNameW(wide, kLongPathSize, gScratch, nullptr);
  if (length == 0 || length >= kLongPathSize - 8) return false;
  const wchar_t* prefix = L"\\\\?\\";
  const wchar_t* rest = gScratch;
  if (wcsncmp(gScratch, L"\\\\?\\", 4) == 0 ||
      wcsncmp(gScratch, L"\\\\.\\", 4) == 0) {
    prefix = L"";
  } else if (gScratch[0] == L'\\' && gScratch[1] == L'\\') {
    prefix = L"\\\\?\\UNC\\";
    rest = gScratch + 2;
  }
  wcscpy(gTarget, prefix);
  wcscat(gTarget, rest);
  return true;
}

// A link to a file is written through: gTarget becomes the link's target.
// Returns gTarget's attributes afterwards.
DWORD FollowLink() {
  DWORD attributes = GetFileAttributesW(gTarget);
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return attributes;
  }
  HANDLE file = CreateFileW(
      gTarget, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return attributes;
  DWORD length = GetFinalPathNameByHandleW(
      file, gScratch, kLongPathSize, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  CloseHandle(file);
  if (length == 0 || length >= kLongPathSize) return attributes;
  wcscpy(gTarget, gScratch);
  return GetFileAttributesW(gTarget);
}

}  // namespace

FileHandle* CreateReplacement(const char* path) {
  if (!gLockReady) {
    InitializeCriticalSection(&gLock);
    gLockReady = true;
  }
  if (!LongForm(path)) return nullptr;
  DWORD attributes = FollowLink();
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  gReplacing = attributes != INVALID_FILE_ATTRIBUTES;
  const wchar_t* separator = wcsrchr(gTarget, L'\\');
  if (separator == nullptr) return nullptr;
  size_t directory = static_cast<size_t>(separator - gTarget) + 1;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[40];
    int length = snprintf(name, sizeof name, ".kv%lx-%x.tmp",
                          GetCurrentProcessId(), gAttempts++);
    if (directory + static_cast<size_t>(length) >= kLongPathSize) {
      return nullptr;
    }
    wmemcpy(gTemporary, gTarget, directory);
    for (int i = 0; i <= length; ++i) {
      gTemporary[directory + i] = static_cast<unsigned char>(name[i]);
    }
    EnterCriticalSection(&gLock);
    HANDLE file = CreateFileW(gTemporary, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = GetLastError();
    if (file != INVALID_HANDLE_VALUE) Arm();
    LeaveCriticalSection(&gLock);
    if (file != INVALID_HANDLE_VALUE)
      return reinterpret_cast<FileHandle*>(file);
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
      return nullptr;
    }
  }
  return nullptr;
}

bool CommitReplacement() {
  EnterCriticalSection(&gLock);
  bool moved = false;
  bool move = !gReplacing;
  if (gReplacing) {
    // Keeps the replaced file's security, attributes and creation time.
    moved =
        ReplaceFileW(gTarget, gTemporary, nullptr,
                     REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
    // Gone meanwhile, or removed by a replacement that then failed: the
    // temporary file still has its name and can simply be moved.
    move = !moved && (GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT ||
                      GetFileAttributesW(gTarget) == INVALID_FILE_ATTRIBUTES);
  }
  if (move) {
    moved =
        MoveFileExW(gTemporary, gTarget,
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  }
  if (moved) Disarm();
  LeaveCriticalSection(&gLock);
  return moved;
}

void AbandonReplacement() {
  EnterCriticalSection(&gLock);
  if (gArmed) DeleteFileW(gTemporary);
  Disarm();
  LeaveCriticalSection(&gLock);
}

}  // namespace platform
