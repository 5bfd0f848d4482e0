// Directory search: FindFirstFileA and FindNextFileA over one open and
// getdents64 per directory and one statx per entry, relative to the
// directory's descriptor.  As on Win32, a search reports "." and ".." too,
// and a link stands for its target.
//
// A search costs what the walk needs and no more: no opendir (whose fstat,
// fcntl and buffer allocation per directory were a tenth of the walk's
// time), each thread keeps its last handle, buffer included, for the next
// search, and a directory whose parent this thread is still searching is
// opened relative to the parent's descriptor, not by its whole path (which
// the kernel would look up component by component, at every level again).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace platform {

struct FindHandle {
  int directory;  // -1 for the search of one named entry
  size_t next;    // the next record in `buffer`
  size_t end;     // the bytes the last getdents64 gave
  // The searches this thread has open, newest first, by their directory's
  // path in the Windows form (`X:\dir`).
  FindHandle* older;
  size_t pathLength;
  char path[kPathSize];
  alignas(8) char buffer[32768];
};

namespace {

// A record of getdents64: inode (8 bytes), offset (8), the record's length
// (2), the type (1), then the name and its NUL.
constexpr size_t kDirentLengthAt = 16;
constexpr size_t kDirentTypeAt = 18;
constexpr size_t kDirentNameAt = 19;

// The handle this thread ended last, kept for its next search and freed
// when the thread ends.
struct SpareHandle {
  FindHandle* handle = nullptr;
  ~SpareHandle() { delete handle; }
};
thread_local SpareHandle tSpare;
thread_local FindHandle* tOpenSearches = nullptr;

// Opens the directory `path` (`length` characters, Windows form) relative to
// the open search of its parent, when this thread has one: -1 with `*tried`
// false when it has none.
int OpenBelowOpenParent(const char* path, size_t length, bool* tried) {
  *tried = false;
  for (FindHandle* parent = tOpenSearches; parent != nullptr;
       parent = parent->older) {
    size_t at = parent->pathLength;
    if (at >= length || path[at] != '\\' ||
        memcmp(parent->path, path, at) != 0) {
      continue;
    }
    const char* name = path + at + 1;
    size_t nameLength = length - at - 1;
    if (nameLength == 0 || memchr(name, '\\', nameLength) != nullptr) {
      continue;  // not a child of this one
    }
    char child[kPathSize];
    memcpy(child, name, nameLength);
    child[nameLength] = '\0';
    *tried = true;
    return openat(parent->directory, child, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  return -1;
}

void Unlist(FindHandle* search) {
  for (FindHandle** at = &tOpenSearches; *at != nullptr; at = &(*at)->older) {
    if (*at == search) {
      *at = search->older;
      return;
    }
  }
}

FindHandle* TakeHandle(int directory) {
  FindHandle* search = tSpare.handle;
  tSpare.handle = nullptr;
  if (search == nullptr) search = new (std::nothrow) FindHandle;
  if (search == nullptr) return nullptr;
  search->directory = directory;
  search->next = search->end = 0;
  return search;
}

FileTime FileTimeFrom(const struct statx_timestamp& stamp) {
  return FileTimeFromUnix(stamp.tv_sec, stamp.tv_nsec);
}

void CopyName(const char* name, size_t length, FindEntry* entry) {
  if (length >= sizeof entry->name) length = sizeof entry->name - 1;
  memcpy(entry->name, name, length);
  entry->name[length] = '\0';
  entry->nameLength = static_cast<uint32_t>(length);
  entry->alternateName[0] = '\0';
}

void FillFromStatx(const struct statx& info, FindEntry* entry) {
  entry->lastWriteTime = FileTimeFrom(info.stx_mtime);
  entry->lastAccessTime = FileTimeFrom(info.stx_atime);
  // Where the file system keeps no birth time, the last-write time stands in:
  // a file cannot have been created after it was last written.
  entry->creationTime = (info.stx_mask & STATX_BTIME) != 0
                            ? FileTimeFrom(info.stx_btime)
                            : entry->lastWriteTime;
  entry->sizeLow = static_cast<uint32_t>(info.stx_size);
  entry->sizeHigh = static_cast<uint32_t>(info.stx_size >> 32);
  bool directory = S_ISDIR(info.stx_mode);
  entry->attributes = directory ? kAttributeDirectory : kAttributeArchive;
  if ((info.stx_mode & S_IWUSR) == 0) {
    entry->attributes |= kAttributeReadOnly;
  }
}

constexpr unsigned kStatxMask = STATX_TYPE | STATX_MODE | STATX_SIZE |
                                STATX_ATIME | STATX_MTIME | STATX_BTIME;

// Fills the attributes, times and size of `entry` for `name` in the open
// directory `directory`; the caller copies the name it reports.  False when
// the entry is to be passed over (it vanished, or it is a pruned mount).
bool DescribeEntry(int directory, const char* name, FindEntry* entry) {
  struct statx info;
  if (statx(directory, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, kStatxMask,
            &info) != 0) {
    return false;
  }
  if (S_ISLNK(info.stx_mode)) {
    // A link stands for its target, and carries the reparse-point bit as a
    // Win32 symbolic link does; a dangling link is a file of its own.
    struct statx target;
    if (statx(directory, name, AT_NO_AUTOMOUNT, kStatxMask, &target) == 0) {
      info = target;
    }
    FillFromStatx(info, entry);
    entry->attributes |= kAttributeReparsePoint;
  } else {
    FillFromStatx(info, entry);
  }
  if (S_ISDIR(info.stx_mode) &&
      posix::IsPrunedDevice(makedev(info.stx_dev_major, info.stx_dev_minor))) {
    return false;
  }
  return true;
}

}  // namespace

FindHandle* FindFirst(const char* pattern, FindEntry* entry) {
  size_t length = strlen(pattern);
  char native[posix::kNativePathSize];
  bool wildcard = length >= 4 && strcmp(pattern + length - 4, "\\*.*") == 0;
  if (!wildcard) {
    // A named entry: the search finds that one entry or nothing.
    if (!posix::NativePath(pattern, length, native)) return nullptr;
    const char* slash = strrchr(native, '/');
    const char* name = slash == nullptr ? native : slash + 1;
    if (name[0] == '\0' || !DescribeEntry(AT_FDCWD, native, entry)) {
      return nullptr;
    }
    CopyName(name, strlen(name), entry);  // its own name, as Win32 reports it
    return TakeHandle(-1);
  }

  size_t pathLength = length - 4;
  if (pathLength >= kPathSize) return nullptr;
  bool tried;
  int descriptor = OpenBelowOpenParent(pattern, pathLength, &tried);
  if (!tried) {
    if (!posix::NativePath(pattern, pathLength, native)) return nullptr;
    descriptor = open(native, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  if (descriptor < 0) return nullptr;
  // Below the drive's root a search only reaches directories that an earlier
  // search described, and DescribeEntry passed pruned ones over already: only
  // the root (`X:\*.*`) needs its device looked at.
  struct stat info;
  if (length == 6 &&
      (fstat(descriptor, &info) != 0 || posix::IsPrunedDevice(info.st_dev))) {
    close(descriptor);
    return nullptr;
  }
  FindHandle* search = TakeHandle(descriptor);
  if (search == nullptr) {
    close(descriptor);
    return nullptr;
  }
  memcpy(search->path, pattern, pathLength);
  search->pathLength = pathLength;
  search->older = tOpenSearches;
  tOpenSearches = search;
  // Win32 fails a search that finds nothing at all.
  if (!FindNext(search, entry)) {
    FindEnd(search);
    return nullptr;
  }
  return search;
}

bool FindNext(FindHandle* search, FindEntry* entry) {
  if (search->directory < 0) return false;
  for (;;) {
    if (search->next == search->end) {
      long got = syscall(SYS_getdents64, search->directory, search->buffer,
                         sizeof search->buffer);
      if (got <= 0) return false;
      search->next = 0;
      search->end = static_cast<size_t>(got);
    }
    const char* record = search->buffer + search->next;
    unsigned short recordLength;
    memcpy(&recordLength, record + kDirentLengthAt, sizeof recordLength);
    search->next += recordLength;
    const char* name = record + kDirentNameAt;
    size_t length = strlen(name);
    // A Windows path cannot carry a `\` in a name: joined into `X:\dir\name`
    // it would read as several parts (`a\..\..` leaves the drive).  Windows
    // never reports such a name, so neither does this search.
    if (memchr(name, '\\', length) != nullptr) continue;
    if (name[0] == '.') {
      // Described by name and kind only, as platform.h allows.
      CopyName(name, length, entry);
      entry->attributes = record[kDirentTypeAt] == DT_DIR ? kAttributeDirectory
                                                          : kAttributeArchive;
      entry->creationTime = entry->lastAccessTime = entry->lastWriteTime =
          FileTime{0, 0};
      entry->sizeHigh = entry->sizeLow = 0;
      return true;
    }
    if (DescribeEntry(search->directory, name, entry)) {
      CopyName(name, length, entry);
      return true;
    }
  }
}

void FindEnd(FindHandle* search) {
  if (search->directory >= 0) {
    Unlist(search);
    close(search->directory);
  }
  if (tSpare.handle == nullptr) {
    tSpare.handle = search;
  } else {
    delete search;
  }
}

bool GetDirectoryId(const char* path, DirectoryId* id) {
  char native[posix::kNativePathSize];
  struct stat info;
  if (!posix::NativePath(path, native) || stat(native, &info) != 0 ||
      !S_ISDIR(info.st_mode)) {
    return false;
  }
  *id = {static_cast<uint64_t>(info.st_dev),
         static_cast<uint64_t>(info.st_ino)};
  return true;
}

}  // namespace platform
