// The database file: CreateFileA, WriteFile, FlushFileBuffers and
// CloseHandle, whether a path names a device rather than a disk file, and
// the names of the temporary files it is first written to.
#include <windows.h>
// After windows.h, whose types it uses.
#include <ntsecapi.h>

#include <cstdio>
#include <cwchar>

#include "platform/platform.h"
#include "platform/win32/internal.h"

namespace platform {
namespace {

// Skips lowercase hexadecimal digits; returns how many.
int SkipHex(const wchar_t** at) {
  int count = 0;
  while ((**at >= L'0' && **at <= L'9') || (**at >= L'a' && **at <= L'f')) {
    ++*at;
    ++count;
  }
  return count;
}

// Whether `name` is one this program gives its temporary files:
// `.kv<pid>-<random>.tmp`, both in hexadecimal, or `.kv<pid>-<n>.tmp` as
// earlier versions did.
bool IsTemporaryName(const wchar_t* name) {
  if (wcsncmp(name, L".kv", 3) != 0) return false;
  const wchar_t* at = name + 3;
  int pid = SkipHex(&at);
  if (pid == 0 || pid > 8 || *at++ != L'-') return false;
  int random = SkipHex(&at);
  return random > 0 && random <= 16 && wcscmp(at, L".tmp") == 0;
}

}  // namespace

namespace win32 {

bool MakeTemporaryName(wchar_t* path, size_t at, size_t size) {
  ULONG random[2];
  if (!RtlGenRandom(random, sizeof random)) return false;
  char name[48];
  int length = snprintf(name, sizeof name, ".kv%lx-%08lx%08lx.tmp",
                        GetCurrentProcessId(), random[0], random[1]);
  if (at + static_cast<size_t>(length) >= size) return false;
  for (int i = 0; i <= length; ++i) {
    path[at + i] = static_cast<unsigned char>(name[i]);
  }
  return true;
}

void RemoveDeadRunsFiles(wchar_t* path, size_t at, size_t size) {
  if (at + 16 >= size) return;
  wcscpy(path + at, L".kv*.tmp");
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW(path, FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    // Links and directories by such a name are not this program's.
    if ((found.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        !IsTemporaryName(found.cFileName) ||
        at + wcslen(found.cFileName) >= size) {
      continue;
    }
    wcscpy(path + at, found.cFileName);
    DeleteFileW(path);
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

}  // namespace win32

using win32::AsHandle;

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

bool IsSpecialFile(const char* path) {
  HANDLE file = win32::OpenForQuery(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD type = GetFileType(file);
  CloseHandle(file);
  return type != FILE_TYPE_DISK;
}

bool IsStandardOutput(const char*) { return false; }

}  // namespace platform
