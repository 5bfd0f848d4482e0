// Directory search: FindFirstFileExW, FindNextFileW and FindClose, each name
// handed on in the 8-bit spelling the database records (names.h), and the
// identity of a directory.
//
// The wide functions and not the ANSI ones: an ANSI search opens a directory
// by its 8-bit spelling, which for a name outside the code page names no
// directory, and its whole subtree was lost.  Here every directory opens by
// its real name, found again from the recorded path (paths.cpp).
#include <windows.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <new>

#include "platform/platform.h"
#include "platform/win32/internal.h"
#include "platform/win32/names.h"

namespace platform {

struct FindHandle {
  HANDLE search;
  // The data holds no short names (FindExInfoBasic): looked up when needed.
  bool basic;
  // A search of a whole directory (`directory\*.*`), whose subdirectories
  // the walk may enter.
  bool wholeDirectory;
  // The searched directory's recorded path.
  size_t directoryLength;
  char directory[kPathSize];
};

namespace {

using win32::FromWin32;
using win32::NameRule;
using win32::WidePath;

// Set once the system refuses FindExInfoBasic or FIND_FIRST_EX_LARGE_FETCH
// (before Windows 7): every later search asks at the standard level.
std::atomic<bool> gBasicRefused{false};
std::atomic<bool> gShortNamesIgnored{false};

// Starts the search of `pattern`: at the basic level with large fetches,
// which skip the short names and read the directory in fewer calls, and
// once more at the standard level when that fails for any reason other
// than the directory's own (FAT volumes were seen to fail one level with
// error 1113 for some names).
HANDLE StartSearch(const wchar_t* pattern, WIN32_FIND_DATAW* data,
                   bool* basic) {
  if (!gBasicRefused.load(std::memory_order_relaxed)) {
    HANDLE search =
        FindFirstFileExW(pattern, FindExInfoBasic, data, FindExSearchNameMatch,
                         nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search != INVALID_HANDLE_VALUE) {
      *basic = true;
      return search;
    }
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
        error == ERROR_ACCESS_DENIED) {
      return INVALID_HANDLE_VALUE;
    }
    if (error == ERROR_INVALID_PARAMETER) {
      gBasicRefused.store(true, std::memory_order_relaxed);
    }
  }
  *basic = false;
  return FindFirstFileExW(pattern, FindExInfoStandard, data,
                          FindExSearchNameMatch, nullptr, 0);
}

// The short name of the entry `name` of the searched directory, into
// `shortName` (14 characters); empty when it has none.  The basic level
// leaves them out, and only names the code page cannot spell need one.
void LookUpShortName(const FindHandle& handle, const wchar_t* name,
                     wchar_t* shortName) {
  shortName[0] = L'\0';
  WidePath path;
  if (handle.directoryLength == 0 ||
      gShortNamesIgnored.load(std::memory_order_relaxed) ||
      !win32::ResolvePath(handle.directory, handle.directoryLength, &path) ||
      !path.Append(L"\\", 1) || !path.Append(name, wcslen(name))) {
    return;
  }
  // Every part of the path is shortened: the whole may be as long as the
  // path itself.
  wchar_t local[2 * kPathSize];
  wchar_t* text = local;
  DWORD length = GetShortPathNameW(path.Text(), text, 2 * kPathSize);
  if (length >= 2 * kPathSize) {
    text = new (std::nothrow) wchar_t[length];
    DWORD size = length;
    length = text != nullptr ? GetShortPathNameW(path.Text(), text, size) : 0;
    if (length >= size) length = 0;
  }
  if (length != 0) {
    const wchar_t* last = wcsrchr(text, L'\\');
    last = last != nullptr ? last + 1 : text;
    if (wcslen(last) < 14) wcscpy(shortName, last);
  }
  if (text != local) delete[] text;
}

// Fills `entry` from `data`.  False when the entry has no 8-bit name that
// fits a path: the search passes it over.
bool Describe(const FindHandle& handle, const WIN32_FIND_DATAW& data,
              FindEntry* entry) {
  const wchar_t* shortName =
      handle.basic ? nullptr
      : gShortNamesIgnored.load(std::memory_order_relaxed)
          ? L""
          : data.cAlternateFileName;
  NameRule rule = win32::RecordName(data.cFileName, shortName, entry);
  if (rule == NameRule::kWantsShortName) {
    wchar_t lookedUp[14];
    LookUpShortName(handle, data.cFileName, lookedUp);
    rule = win32::RecordName(data.cFileName, lookedUp, entry);
  }
  if (rule == NameRule::kUnspellable) return false;
  entry->attributes = data.dwFileAttributes;
  entry->creationTime = FromWin32(data.ftCreationTime);
  entry->lastAccessTime = FromWin32(data.ftLastAccessTime);
  entry->lastWriteTime = FromWin32(data.ftLastWriteTime);
  entry->sizeHigh = data.nFileSizeHigh;
  entry->sizeLow = data.nFileSizeLow;
  entry->id = {0, 0};
  if (handle.wholeDirectory && entry->name[0] != '.' &&
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    win32::NoteDirectory(handle.directory, handle.directoryLength, entry->name,
                         entry->nameLength, data.cFileName, rule);
  }
  return true;
}

// The next entry that Describe takes, into `entry`; false at the end.
bool Advance(FindHandle* handle, FindEntry* entry) {
  WIN32_FIND_DATAW data;
  do {
    if (!FindNextFileW(handle->search, &data)) return false;
  } while (!Describe(*handle, data, entry));
  return true;
}

}  // namespace

void win32::IgnoreShortNames(bool ignore) {
  gShortNamesIgnored.store(ignore, std::memory_order_relaxed);
}

// The search opens by name alone: `expected` cannot be checked.
FindHandle* FindFirst(const char* pattern, FindEntry* entry,
                      const ExpectedDirectory* /*expected*/) {
  auto* handle = new (std::nothrow) FindHandle;
  if (handle == nullptr) {
    SetLastError(ERROR_OUTOFMEMORY);  // what SearchError reports
    return nullptr;
  }
  size_t length = strlen(pattern);
  handle->wholeDirectory =
      length >= 4 && memcmp(pattern + length - 4, "\\*.*", 4) == 0;
  const char* slash = strrchr(pattern, '\\');
  handle->directoryLength = handle->wholeDirectory ? length - 4
                            : slash != nullptr
                                ? static_cast<size_t>(slash - pattern)
                                : 0;
  memcpy(handle->directory, pattern, handle->directoryLength);
  handle->directory[handle->directoryLength] = '\0';
  // `*` matches what `*.*` does, names without a dot included.
  WidePath wide;
  bool resolved = handle->wholeDirectory
                      ? win32::ResolvePath(pattern, length - 4, &wide) &&
                            wide.Append(L"\\*", 2)
                      : win32::ResolvePath(pattern, length, &wide);
  WIN32_FIND_DATAW data;
  handle->search = resolved ? StartSearch(wide.Text(), &data, &handle->basic)
                            : INVALID_HANDLE_VALUE;
  if (handle->search == INVALID_HANDLE_VALUE) {
    delete handle;
    return nullptr;
  }
  if (!Describe(*handle, data, entry) && !Advance(handle, entry)) {
    FindEnd(handle);
    return nullptr;
  }
  return handle;
}

bool FindNext(FindHandle* search, FindEntry* entry) {
  return Advance(search, entry);
}

void FindEnd(FindHandle* search) {
  FindClose(search->search);
  delete search;
}

uint32_t SearchError() { return GetLastError(); }

void EndSearches() {}  // the system keeps what a search needs

bool GetDirectoryId(const char* path, DirectoryId* id) {
  WidePath wide;
  if (!win32::ResolvePath(path, strlen(path), &wide)) return false;
  // `X:` alone names the drive's current directory, not its root; and
  // `\\?\X:` names the volume.
  if (path[0] != '\0' && path[1] == ':' && path[2] == '\0' &&
      !wide.Append(L"\\", 1)) {
    return false;
  }
  HANDLE file = CreateFileW(
      wide.Text(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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
