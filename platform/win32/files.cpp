// The database file: CreateFileA, WriteFile, FlushFileBuffers and
// CloseHandle, and whether a path names a device rather than a disk file.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/internal.h"

namespace platform {

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

}  // namespace platform
