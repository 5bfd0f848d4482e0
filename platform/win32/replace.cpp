// Replacing the database whole: a temporary file beside it, held by this
// process without delete sharing until it is renamed over the path, and the
// console's interrupts that delete the temporary file on their way out.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "platform/platform.h"
#include "platform/win32/internal.h"

namespace platform {
namespace {

using win32::kLongPathSize;

// Names are random: a clash is all but impossible, and a run that keeps
// meeting them has something else wrong with its directory.
constexpr int kMaxAttempts = 1 << 16;
// Another program holding the path open without delete sharing (a reader
// through the C runtime's fopen) is waited for this long, the pause between
// tries growing from the first to the longest.
constexpr DWORD kHeldWait = 10000;
constexpr DWORD kFirstPause = 10;
constexpr DWORD kLongestPause = 1000;

// The replacement under way, both names in the `\\?\` form: a temporary
// name beside a path of 259 characters may be longer than MAX_PATH.  gHeld
// is the temporary file, open without delete sharing so that no other run
// takes it for a dead run's; the caller writes through a duplicate of it.
// The lock orders the console's interrupt thread against the main thread;
// gArmed says that the temporary file exists and is this process's to
// delete.
wchar_t gTarget[kLongPathSize];
wchar_t gTemporary[kLongPathSize];
wchar_t gScratch[kLongPathSize];
HANDLE gHeld = INVALID_HANDLE_VALUE;
bool gArmed = false;
CRITICAL_SECTION gLock;
bool gLockReady = false;

BOOL WINAPI DeleteOnInterrupt(DWORD) {
  EnterCriticalSection(&gLock);
  if (gArmed) win32::MarkForDeletion(gHeld);
  gArmed = false;
  // The lock stays taken until the process ends, so that the main thread
  // cannot move the file into place meanwhile; the system's own handler,
  // next in the chain, ends the process, which closes the file.
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
  if (gHeld != INVALID_HANDLE_VALUE) CloseHandle(gHeld);
  gHeld = INVALID_HANDLE_VALUE;
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

// Renames the held file over gTarget through its own handle, which stays
// open and unshared for deletion until the rename is done.  Lock held.
bool MoveIntoPlace() {
  WIN32_FILE_ATTRIBUTE_DATA replaced;
  if (GetFileAttributesExW(gTarget, GetFileExInfoStandard, &replaced)) {
    win32::TakeOverFrom(gHeld, gTarget, replaced);
  }
  if (!win32::RenameByHandle(gHeld, gTarget, true)) {
    DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) {
      return false;
    }
    if (!win32::MoveAsideAndIntoPlace(gHeld, gTarget)) return false;
  }
  // The new name lasts once the file system has it.
  FlushFileBuffers(gHeld);
  return true;
}

// Whether a failed replacement may succeed later: another program has the
// path open without delete sharing, or it vanished while being moved.
bool MayRetry(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_FILE_NOT_FOUND;
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
  const wchar_t* separator = wcsrchr(gTarget, L'\\');
  if (separator == nullptr) return nullptr;
  size_t directory = static_cast<size_t>(separator - gTarget) + 1;
  wmemcpy(gTemporary, gTarget, directory);
  win32::RemoveDeadRunsFiles(gTemporary, directory, kLongPathSize);
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    if (!win32::MakeTemporaryName(gTemporary, directory, kLongPathSize)) {
      return nullptr;
    }
    EnterCriticalSection(&gLock);
    HANDLE held = CreateFileW(
        gTemporary, GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC,
        FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = GetLastError();
    HANDLE file = INVALID_HANDLE_VALUE;
    if (held != INVALID_HANDLE_VALUE) {
      gHeld = held;
      if (DuplicateHandle(GetCurrentProcess(), held, GetCurrentProcess(), &file,
                          FILE_GENERIC_READ | FILE_GENERIC_WRITE, FALSE, 0)) {
        Arm();
      } else {
        error = GetLastError();
        win32::MarkForDeletion(held);
        Disarm();
      }
    }
    LeaveCriticalSection(&gLock);
    if (file != INVALID_HANDLE_VALUE) {
      return reinterpret_cast<FileHandle*>(file);
    }
    if (held != INVALID_HANDLE_VALUE ||
        (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)) {
      SetLastError(error);
      return nullptr;
    }
  }
  return nullptr;
}

bool CommitReplacement() {
  DWORD waited = 0;
  DWORD pause = kFirstPause;
  for (;;) {
    EnterCriticalSection(&gLock);
    if (!gArmed) {
      LeaveCriticalSection(&gLock);
      return false;
    }
    bool moved = MoveIntoPlace();
    DWORD error = GetLastError();
    if (moved) Disarm();
    LeaveCriticalSection(&gLock);
    if (moved) return true;
    if (waited >= kHeldWait || !MayRetry(error)) return false;
    Sleep(pause);
    waited += pause;
    pause = pause * 2 < kLongestPause ? pause * 2 : kLongestPause;
  }
}

void AbandonReplacement() {
  EnterCriticalSection(&gLock);
  if (gArmed) win32::MarkForDeletion(gHeld);
  Disarm();
  LeaveCriticalSection(&gLock);
}

}  // namespace platform
