// Files that hold a long run's records while the walk goes on: the scratch
// file of a database written in place, and writes, reads and sizes at an
// offset.
#include <windows.h>

#include <cstdio>

#include "platform/platform.h"
#include "platform/win32/internal.h"

namespace platform {

using win32::AsHandle;

FileHandle* CreateScratchFile() {
  wchar_t directory[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, directory);
  if (length == 0 || length > MAX_PATH) return nullptr;
  // The name needs only to be new: the file is opened without sharing and
  // goes when its handle closes, the process's end included.
  DWORD seed = GetCurrentProcessId() ^ GetTickCount();
  for (unsigned attempt = 0; attempt < 1000; ++attempt) {
    wchar_t name[MAX_PATH + 40];
    _snwprintf(name, sizeof name / sizeof name[0], L"%ls.kv%lx-%lx.tmp",
               directory, GetCurrentProcessId(), seed + attempt);
    name[sizeof name / sizeof name[0] - 1] = L'\0';
    HANDLE file = CreateFileW(
        name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      return reinterpret_cast<FileHandle*>(file);
    }
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
      return nullptr;
    }
  }
  return nullptr;
}

// A process's handles are limited by its memory alone, which the walk meets
// as memory running out.
bool CanOpenAnotherFile() { return true; }

namespace {

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

}  // namespace

bool ReadFileAt(FileHandle* file, uint64_t offset, void* bytes, uint32_t count,
                uint32_t* done) {
  OVERLAPPED at = At(offset);
  DWORD got = 0;
  BOOL ok = ReadFile(AsHandle(file), bytes, count, &got, &at);
  *done = got;
  return ok != 0 && got == count;
}

bool WriteFileAt(FileHandle* file, uint64_t offset, const void* bytes,
                 uint32_t count, uint32_t* done) {
  OVERLAPPED at = At(offset);
  DWORD put = 0;
  BOOL ok = WriteFile(AsHandle(file), bytes, count, &put, &at);
  *done = put;
  return ok != 0 && put == count;
}

bool SetFilePosition(FileHandle* file, uint64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(AsHandle(file), to, nullptr, FILE_BEGIN) != 0;
}

bool SetFileSize(FileHandle* file, uint64_t size) {
  return SetFilePosition(file, size) && SetEndOfFile(AsHandle(file)) != 0;
}

}  // namespace platform
