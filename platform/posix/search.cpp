// Directory search: FindFirstFileA and FindNextFileA over opendir, readdir
// and one statx per entry, relative to the directory's descriptor.  As on
// Win32, a search reports "." and ".." too, and a link stands for its
// target.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace platform {

struct FindHandle {
  DIR* directory;  // null for the search of one named entry
};

namespace {

FileTime FileTimeFrom(const struct statx_timestamp& stamp) {
  return FileTimeFromUnix(stamp.tv_sec, stamp.tv_nsec);
}

void CopyName(const char* name, FindEntry* entry) {
  size_t length = strlen(name);
  if (length >= sizeof entry->name) length = sizeof entry->name - 1;
  memcpy(entry->name, name, length);
  entry->name[length] = '\0';
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

// Fills `entry` for `name` in the open directory `directory`.  False when
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
  CopyName(name, entry);
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
    CopyName(name, entry);  // the entry's own name, as Win32 reports it
    return new (std::nothrow) FindHandle{nullptr};
  }

  if (!posix::NativePath(pattern, length - 4, native)) return nullptr;
  int descriptor = open(native, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return nullptr;
  struct stat info;
  if (fstat(descriptor, &info) != 0 || posix::IsPrunedDevice(info.st_dev)) {
    close(descriptor);
    return nullptr;
  }
  DIR* directory = fdopendir(descriptor);
  if (directory == nullptr) {
    close(descriptor);
    return nullptr;
  }
  auto* search = new (std::nothrow) FindHandle{directory};
  if (search == nullptr) {
    closedir(directory);
    return nullptr;
  }
  // Win32 fails a search that finds nothing at all.
  if (!FindNext(search, entry)) {
    FindEnd(search);
    return nullptr;
  }
  return search;
}

bool FindNext(FindHandle* search, FindEntry* entry) {
  if (search->directory == nullptr) return false;
  int descriptor = dirfd(search->directory);
  while (struct dirent* found = readdir(search->directory)) {
    // A Windows path cannot carry a `\` in a name: joined into `X:\dir\name`
    // it would read as several parts (`a\..\..` leaves the drive).  Windows
    // never reports such a name, so neither does this search.
    if (strchr(found->d_name, '\\') != nullptr) continue;
    if (found->d_name[0] == '.') {
      // Described by name and kind only, as platform.h allows.
      CopyName(found->d_name, entry);
      entry->attributes =
          found->d_type == DT_DIR ? kAttributeDirectory : kAttributeArchive;
      entry->creationTime = entry->lastAccessTime = entry->lastWriteTime =
          FileTime{0, 0};
      entry->sizeHigh = entry->sizeLow = 0;
      return true;
    }
    if (DescribeEntry(descriptor, found->d_name, entry)) return true;
  }
  return false;
}

void FindEnd(FindHandle* search) {
  if (search->directory != nullptr) closedir(search->directory);
  delete search;
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
