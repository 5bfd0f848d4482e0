// The database file: CreateFileA, WriteFile, CloseHandle, DeleteFileA and
// MoveFileExA over file descriptors.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace platform {
namespace {

// A file handle is the descriptor plus one, so that null means none.
FileHandle* HandleOf(int descriptor) {
  return reinterpret_cast<FileHandle*>(static_cast<intptr_t>(descriptor) + 1);
}

int Descriptor(FileHandle* file) {
  return static_cast<int>(reinterpret_cast<intptr_t>(file) - 1);
}

}  // namespace

FileHandle* CreateFileForWriting(const char* path) {
  char native[posix::kNativePathSize];
  if (!posix::NativePath(path, native)) return nullptr;
  int descriptor = open(native, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (descriptor < 0) return nullptr;
  return HandleOf(descriptor);
}

bool WriteToFile(FileHandle* file, const void* bytes, uint32_t count,
                 uint32_t* written) {
  // WriteFile on a disk file writes everything or fails; write(2) may stop
  // short, so go on until it is done or reports an error.
  const char* next = static_cast<const char*>(bytes);
  uint32_t done = 0;
  while (done < count) {
    ssize_t got = write(Descriptor(file), next + done, count - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<uint32_t>(got);
  }
  *written = done;
  return done == count;
}

bool CloseFile(FileHandle* file) { return close(Descriptor(file)) == 0; }

bool DeleteFileAt(const char* path) {
  char native[posix::kNativePathSize];
  return posix::NativePath(path, native) && unlink(native) == 0;
}

bool MoveFileReplacing(const char* from, const char* to) {
  char nativeFrom[posix::kNativePathSize];
  char nativeTo[posix::kNativePathSize];
  return posix::NativePath(from, nativeFrom) &&
         posix::NativePath(to, nativeTo) && rename(nativeFrom, nativeTo) == 0;
}

bool IsSpecialFile(const char* path) {
  char native[posix::kNativePathSize];
  struct stat info;
  return posix::NativePath(path, native) && stat(native, &info) == 0 &&
         !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

}  // namespace platform
