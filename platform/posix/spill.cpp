// Files that hold a long run's records while the walk goes on: the scratch
// file of a database written in place, and writes, reads and sizes at an
// offset.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace platform {

using posix::Descriptor;
using posix::HandleOf;

FileHandle* CreateScratchFile() {
  // The scratch file is a file as the database is: a write past the size
  // limit fails, rather than end the run.
  posix::FailWritesPastSizeLimit();
  const char* directory = getenv("TMPDIR");
  if (directory == nullptr || directory[0] == '\0') directory = "/tmp";
  // A file without a name: nothing is left behind, even by a run killed
  // outright.
  int descriptor = open(directory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (descriptor >= 0) return HandleOf(descriptor);
  // File systems without unnamed files: a fresh name, removed at once.
  char name[posix::kNativePathSize];
  int length = snprintf(name, sizeof name, "%s/.kv-scratch-XXXXXX", directory);
  if (length < 0 || static_cast<size_t>(length) >= sizeof name) return nullptr;
  descriptor = mkostemp(name, O_CLOEXEC);
  if (descriptor < 0) return nullptr;
  unlink(name);
  return HandleOf(descriptor);
}

bool CanOpenAnotherFile() {
  // The cheapest open there is: no permission needed, nothing read.
  int probe = open("/", O_PATH | O_CLOEXEC);
  if (probe >= 0) {
    close(probe);
    return true;
  }
  return errno != EMFILE && errno != ENFILE;
}

bool ReadFileAt(FileHandle* file, uint64_t offset, void* bytes, uint32_t count,
                uint32_t* done) {
  char* next = static_cast<char*>(bytes);
  uint32_t got = 0;
  while (got < count) {
    ssize_t step = pread(Descriptor(file), next + got, count - got,
                         static_cast<off_t>(offset + got));
    if (step < 0 && errno == EINTR) continue;
    if (step <= 0) break;
    got += static_cast<uint32_t>(step);
  }
  *done = got;
  return got == count;
}

bool WriteFileAt(FileHandle* file, uint64_t offset, const void* bytes,
                 uint32_t count, uint32_t* done) {
  const char* next = static_cast<const char*>(bytes);
  uint32_t put = 0;
  while (put < count) {
    ssize_t step = pwrite(Descriptor(file), next + put, count - put,
                          static_cast<off_t>(offset + put));
    if (step < 0 && errno == EINTR) continue;
    if (step <= 0) break;
    put += static_cast<uint32_t>(step);
  }
  *done = put;
  return put == count;
}

bool SetFilePosition(FileHandle* file, uint64_t offset) {
  return lseek(Descriptor(file), static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool SetFileSize(FileHandle* file, uint64_t size) {
  while (ftruncate(Descriptor(file), static_cast<off_t>(size)) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace platform
