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
// Out of descriptors, a search parks older ones (open_searches.cpp).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "platform/posix/internal.h"
#include "platform/posix/open_searches.h"

namespace platform {
namespace {

// A record of getdents64: inode (8 bytes), offset (8), the record's length
// (2), the type (1), then the name and its NUL.
constexpr size_t kDirentLengthAt = 16;
constexpr size_t kDirentTypeAt = 18;
constexpr size_t kDirentNameAt = 19;

// Plain pointers and numbers only: a thread_local with a destructor makes
// glibc register one per thread, which fails (and aborts) when memory is
// short.  EndSearches frees the spare handle instead.
thread_local FindHandle* tSpare = nullptr;  // kept for the next search
thread_local uint32_t tError = kErrorSuccess;

// A search of one named entry holds nothing once it has found it: every
// such search is this token.
alignas(FindHandle) char gNamedSearch;

FindHandle* NamedSearch() {
  return reinterpret_cast<FindHandle*>(&gNamedSearch);
}

FindHandle* Fail(uint32_t error) {
  tError = error;
  return nullptr;
}

void Release(FindHandle* search) {
  if (tSpare == nullptr) {
    tSpare = search;
  } else {
    delete search;
  }
}

}  // namespace

FindHandle* FindFirst(const char* pattern, FindEntry* entry,
                      const ExpectedDirectory* expected) {
  size_t length = strlen(pattern);
  bool wildcard = length >= 4 && strcmp(pattern + length - 4, "\\*.*") == 0;
  if (!wildcard) {
    // A named entry: the search finds that one entry or nothing.
    char native[posix::kNativePathSize];
    if (!posix::NativePath(pattern, length, native)) {
      return Fail(kErrorFileNotFound);
    }
    const char* slash = strrchr(native, '/');
    const char* name = slash == nullptr ? native : slash + 1;
    if (name[0] == '\0' || !posix::DescribeEntry(AT_FDCWD, native, entry)) {
      return Fail(kErrorFileNotFound);
    }
    posix::CopyName(name, strlen(name), entry);  // as Win32 reports it
    return NamedSearch();
  }

  size_t pathLength = length - 4;
  if (pathLength >= kPathSize) return Fail(kErrorFileNotFound);
  FindHandle* search = tSpare;
  tSpare = nullptr;
  if (search == nullptr) search = new (std::nothrow) FindHandle;
  if (search == nullptr) return Fail(kErrorOutOfMemory);
  // A directory that the search saw as a directory must still be one: not a
  // link to another put in its place.
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  if (expected != nullptr && !expected->throughLink) flags |= O_NOFOLLOW;
  int descriptor =
      posix::OpenDirectory(pattern, pathLength, flags, nullptr, &tError);
  if (descriptor < 0) {
    Release(search);
    return nullptr;
  }
  // Below the drive's root a search only reaches directories that an earlier
  // search described, and DescribeEntry passed pruned ones over already: only
  // the root (`X:\*.*`) needs its device looked at.
  struct stat info;
  if (fstat(descriptor, &info) != 0 ||
      (expected != nullptr && (info.st_dev != expected->id.volume ||
                               info.st_ino != expected->id.index)) ||
      (length == 6 && posix::IsPrunedDevice(info.st_dev))) {
    close(descriptor);
    Release(search);
    return Fail(kErrorFileNotFound);
  }
  search->directory = descriptor;
  search->next = search->end = 0;
  search->device = info.st_dev;
  search->inode = info.st_ino;
  memcpy(search->path, pattern, pathLength);
  search->pathLength = pathLength;
  posix::Enlist(search);
  // Win32 fails a search that finds nothing at all.
  if (!FindNext(search, entry)) {
    FindEnd(search);
    return Fail(kErrorFileNotFound);
  }
  return search;
}

bool FindNext(FindHandle* search, FindEntry* entry) {
  if (search == NamedSearch()) {
    tError = kErrorNoMoreFiles;
    return false;
  }
  // Buffered entries are described relative to the directory too.
  if (search->directory < 0 && !posix::Reopen(search, &tError)) return false;
  for (;;) {
    if (search->next == search->end) {
      long got = syscall(SYS_getdents64, search->directory, search->buffer,
                         sizeof search->buffer);
      // A directory that cannot be read further ends there, as on Win32.
      if (got <= 0) {
        tError = kErrorNoMoreFiles;
        return false;
      }
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
      posix::CopyName(name, length, entry);
      entry->attributes = record[kDirentTypeAt] == DT_DIR ? kAttributeDirectory
                                                          : kAttributeArchive;
      entry->creationTime = entry->lastAccessTime = entry->lastWriteTime =
          FileTime{0, 0};
      entry->sizeHigh = entry->sizeLow = 0;
      entry->id = {0, 0};
      return true;
    }
    if (posix::DescribeEntry(search->directory, name, entry)) {
      posix::CopyName(name, length, entry);
      return true;
    }
  }
}

void FindEnd(FindHandle* search) {
  if (search == NamedSearch()) return;
  posix::Unlist(search);
  if (search->directory >= 0) close(search->directory);
  Release(search);
}

uint32_t SearchError() { return tError; }

void EndSearches() {
  delete tSpare;
  tSpare = nullptr;
}

}  // namespace platform
