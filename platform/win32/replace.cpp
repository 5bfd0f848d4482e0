// Replacing the database whole: a temporary file beside it, held by this
// process without delete sharing until it is renamed over the path, and the
// console's interrupts that delete the temporary file on their way out.
#include <windows.h>
// After windows.h, whose types it uses.
#include <aclapi.h>

#include <cstdio>
#include <cwchar>

#include "platform/platform.h"
#include "platform/win32/internal.h"

namespace platform {
namespace {

// Long enough for the `\\?\` form of a full path, or a link's target.
constexpr DWORD kLongPathSize = 2048;
// Names are random: a clash is all but impossible, and a run that keeps
// meeting them has something else wrong with its directory.
constexpr int kMaxAttempts = 1 << 16;
// Another program holding the path open without delete sharing (a reader
// through the C runtime's fopen) is waited for this long, the pause between
// tries growing from the first to the longest.
constexpr DWORD kHeldWait = 10000;
constexpr DWORD kFirstPause = 10;
constexpr DWORD kLongestPause = 1000;
// What the replaced file passes on besides its creation time and DACL, as
// ReplaceFile does; read-only is not among them, as it would keep the next
// run from replacing the database.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

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

// The file goes when its last handle closes: at the latest when the process
// ends, however it ends.
void MarkForDeletion(HANDLE file) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                             sizeof disposition);
}

BOOL WINAPI DeleteOnInterrupt(DWORD) {
  EnterCriticalSection(&gLock);
  if (gArmed) MarkForDeletion(gHeld);
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

// What ReplaceFile would keep of the replaced file, given to the temporary
// one: its creation time, some attributes, its DACL.  As with
// REPLACEFILE_IGNORE_MERGE_ERRORS, what cannot be kept does not stop the
// replacement.
void TakeOverFrom(const WIN32_FILE_ATTRIBUTE_DATA& replaced) {
  FILE_BASIC_INFO basic = {};
  basic.CreationTime.LowPart = replaced.ftCreationTime.dwLowDateTime;
  basic.CreationTime.HighPart =
      static_cast<LONG>(replaced.ftCreationTime.dwHighDateTime);
  basic.FileAttributes =
      FILE_ATTRIBUTE_ARCHIVE | (replaced.dwFileAttributes & kKeptAttributes);
  SetFileInformationByHandle(gHeld, FileBasicInfo, &basic, sizeof basic);
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr;
  if (GetNamedSecurityInfoW(gTarget, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
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
    SetSecurityInfo(gHeld, SE_FILE_OBJECT, which, nullptr, nullptr, dacl,
                    nullptr);
  }
  LocalFree(security);
}

// Renames what `file` (open with DELETE access) is to `name`, a `\\?\`
// path, through its handle.
bool Rename(HANDLE file, const wchar_t* name, bool replace) {
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

// Another program has gTarget open, which no rename may replace: it goes
// aside, under a temporary name, for the held file to take its place, and is
// deleted once no program has it open.  When the program has it open
// without delete sharing, it cannot be moved: false, with
// ERROR_SHARING_VIOLATION.
bool MoveAsideAndIntoPlace() {
  DWORD attributes = GetFileAttributesW(gTarget);
  // A read-only file is not for replacing; a missing one, for trying again.
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) !=
          0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  HANDLE replaced = CreateFileW(
      gTarget, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (replaced == INVALID_HANDLE_VALUE) return false;
  // Named as this program's temporary files are: should the process end
  // before it is deleted, the next run removes it.
  size_t directory = static_cast<size_t>(wcsrchr(gTarget, L'\\') - gTarget) + 1;
  wmemcpy(gScratch, gTarget, directory);
  bool moved = win32::MakeTemporaryName(gScratch, directory, kLongPathSize) &&
               Rename(replaced, gScratch, false);
  DWORD error = GetLastError();
  if (moved && !Rename(gHeld, gTarget, false)) {
    error = GetLastError();
    Rename(replaced, gTarget, false);
    moved = false;
  }
  if (moved) MarkForDeletion(replaced);
  CloseHandle(replaced);
  SetLastError(error);
  return moved;
}

// Renames the held file over gTarget through its own handle, which stays
// open and unshared for deletion until the rename is done.  Lock held.
bool MoveIntoPlace() {
  WIN32_FILE_ATTRIBUTE_DATA replaced;
  if (GetFileAttributesExW(gTarget, GetFileExInfoStandard, &replaced)) {
    TakeOverFrom(replaced);
  }
  if (!Rename(gHeld, gTarget, true)) {
    DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) {
      return false;
    }
    if (!MoveAsideAndIntoPlace()) return false;
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
        MarkForDeletion(held);
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
  if (gArmed) MarkForDeletion(gHeld);
  Disarm();
  LeaveCriticalSection(&gLock);
}

}  // namespace platform
