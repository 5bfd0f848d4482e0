// One directory entry described as WIN32_FIND_DATAA describes it, from one
// statx (two for a link), and the identity of a directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace platform::posix {
namespace {

FileTime FileTimeFrom(const struct statx_timestamp& stamp) {
  return FileTimeFromUnix(stamp.tv_sec, stamp.tv_nsec);
}

void FillFromStatx(const struct statx& info, FindEntry* entry) {
  entry->lastWriteTime = FileTimeFrom(info.stx_mtime);
  entry->lastAccessTime = FileTimeFrom(info.stx_atime);
  // Where the file system keeps no birth time, the last-write time stands in:
  // a file cannot have been created after it was last written.  A birth time
  // of the epoch itself is none either: file systems made from an image give
  // it to every file that came with the image.
  bool born = (info.stx_mask & STATX_BTIME) != 0 &&
              (info.stx_btime.tv_sec != 0 || info.stx_btime.tv_nsec != 0);
  entry->creationTime =
      born ? FileTimeFrom(info.stx_btime) : entry->lastWriteTime;
  entry->sizeLow = static_cast<uint32_t>(info.stx_size);
  entry->sizeHigh = static_cast<uint32_t>(info.stx_size >> 32);
  bool directory = S_ISDIR(info.stx_mode);
  entry->attributes = directory ? kAttributeDirectory : kAttributeArchive;
  if ((info.stx_mode & S_IWUSR) == 0) {
    entry->attributes |= kAttributeReadOnly;
  }
  entry->id = {makedev(info.stx_dev_major, info.stx_dev_minor), info.stx_ino};
}

constexpr unsigned kStatxMask = STATX_TYPE | STATX_MODE | STATX_INO |
                                STATX_SIZE | STATX_ATIME | STATX_MTIME |
                                STATX_BTIME;

}  // namespace

void CopyName(const char* name, size_t length, FindEntry* entry) {
  if (length >= sizeof entry->name) length = sizeof entry->name - 1;
  memcpy(entry->name, name, length);
  entry->name[length] = '\0';
  entry->nameLength = static_cast<uint32_t>(length);
  entry->alternateName[0] = '\0';
}

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
      IsPrunedDevice(makedev(info.stx_dev_major, info.stx_dev_minor))) {
    return false;
  }
  return true;
}

}  // namespace platform::posix

namespace platform {

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
