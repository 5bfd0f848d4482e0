// The platform layer on Win32: each operation forwards to the call it names.
#include <conio.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>

#include "platform/platform.h"

// Stored times and the database time are 32-bit counts of seconds.
static_assert(sizeof(time_t) == 4, "build with _USE_32BIT_TIME_T");

namespace platform {

const char kNativePathSeparator = '\\';

namespace {

HANDLE AsHandle(FindHandle* search) { return reinterpret_cast<HANDLE>(search); }
HANDLE AsHandle(FileHandle* file) { return reinterpret_cast<HANDLE>(file); }
HKEY AsKey(RegistryHandle* key) { return reinterpret_cast<HKEY>(key); }

FileTime FromWin32(const FILETIME& time) {
  return {time.dwLowDateTime, time.dwHighDateTime};
}

void FromWin32(const WIN32_FIND_DATAA& data, FindEntry* entry) {
  entry->attributes = data.dwFileAttributes;
  entry->creationTime = FromWin32(data.ftCreationTime);
  entry->lastAccessTime = FromWin32(data.ftLastAccessTime);
  entry->lastWriteTime = FromWin32(data.ftLastWriteTime);
  entry->sizeHigh = data.nFileSizeHigh;
  entry->sizeLow = data.nFileSizeLow;
  memcpy(entry->name, data.cFileName, sizeof entry->name);
  entry->nameLength = static_cast<uint32_t>(strlen(entry->name));
  memcpy(entry->alternateName, data.cAlternateFileName,
         sizeof entry->alternateName);
}

// Opens what `path` names, directories included (backup semantics), only to
// ask about it; links are followed.
HANDLE OpenForQuery(const char* path) {
  return CreateFileA(
      path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

bool Initialize(char*, size_t) {
  // Only kavelo's own dialogue may ask about a drive without a disk: the
  // system's message box would block an unattended, quiet run.
  SetErrorMode(SEM_FAILCRITICALERRORS);
  return true;
}

bool PrepareSettings(char*, size_t) { return true; }  // the real registry

uint32_t DriveType(const char* root) { return GetDriveTypeA(root); }

bool VolumeIsReady(const char* root) {
  DWORD scratch = 0;
  return GetVolumeInformationA(root, nullptr, 0, nullptr, &scratch, &scratch,
                               nullptr, 0) != 0;
}

uint32_t LogicalDriveStrings(uint32_t size, char* buffer) {
  return GetLogicalDriveStringsA(size, buffer);
}

FindHandle* FindFirst(const char* pattern, FindEntry* entry) {
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(pattern, &data);
  if (search == INVALID_HANDLE_VALUE) return nullptr;
  FromWin32(data, entry);
  return reinterpret_cast<FindHandle*>(search);
}

bool FindNext(FindHandle* search, FindEntry* entry) {
  WIN32_FIND_DATAA data;
  if (!FindNextFileA(AsHandle(search), &data)) return false;
  FromWin32(data, entry);
  return true;
}

void FindEnd(FindHandle* search) { FindClose(AsHandle(search)); }

bool GetDirectoryId(const char* path, DirectoryId* id) {
  // `X:` alone names the drive's current directory, not its root.
  char root[4] = {path[0], ':', '\\', '\0'};
  const char* name = path[1] == ':' && path[2] == '\0' ? root : path;
  HANDLE file = OpenForQuery(name);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information;
  BOOL known = GetFileInformationByHandle(file, &information);
  CloseHandle(file);
  if (!known) return false;
  id->volume = information.dwVolumeSerialNumber;
  id->index = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) |
              information.nFileIndexLow;
  return true;
}

unsigned ProcessorCount() {
  // The processors this process may run on: one confined to some (start
  // /affinity, a job object) gains nothing from workers for the others.
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) &&
      process != 0) {
    unsigned count = 0;
    for (; process != 0; process &= process - 1) ++count;
    return count;
  }
  SYSTEM_INFO information;
  GetSystemInfo(&information);
  return information.dwNumberOfProcessors > 0 ? information.dwNumberOfProcessors
                                              : 1;
}

uint32_t EnvironmentVariable(const char* name, char* buffer, uint32_t size) {
  return GetEnvironmentVariableA(name, buffer, size);
}

bool FileTimeToLocal(const FileTime& utc, FileTime* local) {
  FILETIME in = {utc.low, utc.high};
  FILETIME out;
  if (!FileTimeToLocalFileTime(&in, &out)) return false;
  *local = FromWin32(out);
  return true;
}

FileHandle* CreateFileForWriting(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return reinterpret_cast<FileHandle*>(file);
}

bool WriteToFile(FileHandle* file, const void* bytes, uint32_t count,
                 uint32_t* written) {
  DWORD done = 0;
  BOOL ok = WriteFile(AsHandle(file), bytes, count, &done, nullptr);
  *written = done;
  return ok != 0 && done == count;
}

bool CloseFile(FileHandle* file) { return CloseHandle(AsHandle(file)) != 0; }

bool FlushFile(FileHandle* file) {
  return FlushFileBuffers(AsHandle(file)) != 0;
}

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
    HANDLE file = CreateFileW(gTemporary, GENERIC_WRITE,
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

bool IsSpecialFile(const char* path) {
  HANDLE file = OpenForQuery(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD type = GetFileType(file);
  CloseHandle(file);
  return type != FILE_TYPE_DISK;
}

void UpperCase(char* text) { CharUpperA(text); }

RegistryHandle* CurrentUserRoot() {
  return reinterpret_cast<RegistryHandle*>(HKEY_CURRENT_USER);
}

uint32_t RegistryOpen(RegistryHandle* root, const char* path, uint32_t access,
                      RegistryHandle** key) {
  HKEY opened = nullptr;
  LONG result = RegOpenKeyExA(AsKey(root), path, 0, access, &opened);
  *key = reinterpret_cast<RegistryHandle*>(opened);
  return static_cast<uint32_t>(result);
}

uint32_t RegistryCreate(RegistryHandle* root, const char* path,
                        uint32_t options, uint32_t access, void* security,
                        RegistryHandle** key) {
  HKEY created = nullptr;
  LONG result = RegCreateKeyExA(AsKey(root), path, 0, nullptr, options, access,
                                static_cast<LPSECURITY_ATTRIBUTES>(security),
                                &created, nullptr);
  *key = reinterpret_cast<RegistryHandle*>(created);
  return static_cast<uint32_t>(result);
}

uint32_t RegistryQuery(RegistryHandle* key, const char* name, void* data,
                       uint32_t* size) {
  DWORD bytes = *size;
  LONG result = RegQueryValueExA(AsKey(key), name, nullptr, nullptr,
                                 static_cast<BYTE*>(data), &bytes);
  *size = bytes;
  return static_cast<uint32_t>(result);
}

uint32_t RegistryClose(RegistryHandle* key) {
  return static_cast<uint32_t>(RegCloseKey(AsKey(key)));
}

int ReadKey() {
  // _getch reads the console itself, not standard input; without a console
  // it has nothing to wait for.
  HANDLE console = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  if (console == INVALID_HANDLE_VALUE) return -1;
  CloseHandle(console);
  int key = _getch();
  return key == EOF || key == 0xFFFF ? -1 : key;
}

}  // namespace platform
