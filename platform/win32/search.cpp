// Directory search: FindFirstFileA, FindNextFileA and FindClose, and the
// identity of a directory.
#include <windows.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/win32/internal.h"

namespace platform {
namespace {

using win32::AsHandle;
using win32::FromWin32;

void FromWin32Data(const WIN32_FIND_DATAA& data, FindEntry* entry) {
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

}  // namespace

FindHandle* FindFirst(const char* pattern, FindEntry* entry) {
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(pattern, &data);
  if (search == INVALID_HANDLE_VALUE) return nullptr;
  FromWin32Data(data, entry);
  return reinterpret_cast<FindHandle*>(search);
}

bool FindNext(FindHandle* search, FindEntry* entry) {
  WIN32_FIND_DATAA data;
  if (!FindNextFileA(AsHandle(search), &data)) return false;
  FromWin32Data(data, entry);
  return true;
}

void FindEnd(FindHandle* search) { FindClose(AsHandle(search)); }

bool GetDirectoryId(const char* path, DirectoryId* id) {
  // `X:` alone names the drive's current directory, not its root.
  char root[4] = {path[0], ':', '\\', '\0'};
  const char* name = path[1] == ':' && path[2] == '\0' ? root : path;
  HANDLE file = win32::OpenForQuery(name);
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

}  // namespace platform
