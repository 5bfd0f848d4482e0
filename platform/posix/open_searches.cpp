// A thread's open searches, and parking them.  A walk keeps a search open
// at every level it is in, which a deep tree under a low descriptor limit
// cannot afford.  A search that finds no descriptor left parks this
// thread's oldest open search instead: its descriptor is closed, its
// buffered entries and its place in the directory are kept, and it is
// opened again, checked to be the same directory, when it is next asked for
// an entry.  So a thread needs one descriptor, however deep it goes.
#include "platform/posix/open_searches.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/internal.h"

namespace platform::posix {
namespace {

// Newest first.  A plain pointer: a thread_local with a destructor makes
// glibc register one per thread, which fails (and aborts) when memory is
// short.
thread_local FindHandle* tOpenSearches = nullptr;

uint32_t ErrorOf(int error) {
  switch (error) {
    case EMFILE:
    case ENFILE: return kErrorTooManyOpenFiles;
    case ENOMEM: return kErrorOutOfMemory;
    case EACCES:
    case EPERM: return kErrorAccessDenied;
    default: return kErrorFileNotFound;
  }
}

// Closes the descriptor of this thread's oldest open search other than
// `except`, keeping its place for Reopen.  False when there is none.
bool ParkOldest(const FindHandle* except) {
  FindHandle* oldest = nullptr;
  for (FindHandle* search = tOpenSearches; search != nullptr;
       search = search->older) {
    if (search != except && search->directory >= 0) oldest = search;
  }
  if (oldest == nullptr) return false;
  off_t position = lseek(oldest->directory, 0, SEEK_CUR);
  if (position < 0) return false;
  oldest->position = position;
  close(oldest->directory);
  oldest->directory = -1;
  return true;
}

}  // namespace

int OpenDirectory(const char* path, size_t length, int flags,
                  const FindHandle* except, uint32_t* error) {
  for (;;) {
    int descriptor = -1;
    bool opened = false;
    for (FindHandle* parent = tOpenSearches; parent != nullptr;
         parent = parent->older) {
      size_t at = parent->pathLength;
      if (parent->directory < 0 || at >= length || path[at] != '\\' ||
          memcmp(parent->path, path, at) != 0) {
        continue;
      }
      size_t nameLength = length - at - 1;
      if (nameLength == 0 ||
          memchr(path + at + 1, '\\', nameLength) != nullptr) {
        continue;  // not a child of this one
      }
      char child[kPathSize];
      memcpy(child, path + at + 1, nameLength);
      child[nameLength] = '\0';
      descriptor = openat(parent->directory, child, flags);
      opened = true;
      break;
    }
    if (!opened) {
      char native[posix::kNativePathSize];
      if (!posix::NativePath(path, length, native)) {
        *error = kErrorFileNotFound;
        return -1;
      }
      descriptor = open(native, flags);
    }
    if (descriptor >= 0) return descriptor;
    if ((errno != EMFILE && errno != ENFILE) || !ParkOldest(except)) {
      *error = ErrorOf(errno);
      return -1;
    }
  }
}

bool Reopen(FindHandle* search, uint32_t* error) {
  // A directory entered through a link is reopened through it too: its
  // identity is what tells.
  int descriptor =
      OpenDirectory(search->path, search->pathLength,
                    O_RDONLY | O_DIRECTORY | O_CLOEXEC, search, error);
  if (descriptor < 0) return false;
  struct stat info;
  if (fstat(descriptor, &info) != 0 || info.st_dev != search->device ||
      info.st_ino != search->inode ||
      lseek(descriptor, search->position, SEEK_SET) != search->position) {
    close(descriptor);
    *error = kErrorFileNotFound;
    return false;
  }
  search->directory = descriptor;
  return true;
}

void Unlist(FindHandle* search) {
  for (FindHandle** at = &tOpenSearches; *at != nullptr; at = &(*at)->older) {
    if (*at == search) {
      *at = search->older;
      return;
    }
  }
}

void Enlist(FindHandle* search) {
  search->older = tOpenSearches;
  tOpenSearches = search;
}

}  // namespace platform::posix
