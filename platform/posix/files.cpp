// The database file: CreateFileA, WriteFile, FlushFileBuffers, CloseHandle,
// and the files that stand for a descriptor the process already holds.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace platform {
namespace posix {
namespace {

// A replacement is flushed once whole.  Meanwhile its pages are handed to
// the disk a mebibyte at a time as they are written, so that the flush
// waits for the last ones only rather than for all of them: a warm run
// writes and flushes a 20 MB database in some 21 ms rather than 27.
constexpr off_t kWriteBackStep = 1 << 20;

struct WriteBack {
  int descriptor = -1;  // the replacement's, while it is open
  off_t written = 0;
  off_t started = 0;  // bytes handed to the disk
};
WriteBack gWriteBack;

void StartWriteBack(int descriptor, uint32_t count) {
  if (descriptor != gWriteBack.descriptor) return;
  gWriteBack.written += count;
  off_t pending = gWriteBack.written - gWriteBack.started;
  if (pending < kWriteBackStep) return;
  // Only a head start: the flush reports what fails.
  sync_file_range(descriptor, gWriteBack.started, pending,
                  SYNC_FILE_RANGE_WRITE);
  gWriteBack.started = gWriteBack.written;
}

// The descriptor number that ends `text`, which must be all digits.
int DescriptorNumber(const char* text) {
  if (*text < '0' || *text > '9') return -1;
  char* end;
  errno = 0;
  long number = strtol(text, &end, 10);
  if (*end != '\0' || errno != 0 || number > INT_MAX) return -1;
  return static_cast<int>(number);
}

// The descriptor that `path` names: /dev/stdin, /dev/stdout, /dev/stderr,
// /dev/fd/N, /proc/self/fd/N or this process's /proc/PID/fd/N.  -1 for any
// other path.  Opened by name, these give a new open file that starts at
// offset 0 and forgets append mode; the program they were handed to meant
// the descriptor itself.
int DescriptorNamed(const char* path) {
  static const char* const kStandard[] = {"/dev/stdin", "/dev/stdout",
                                          "/dev/stderr"};
  for (int i = 0; i < 3; ++i) {
    if (strcmp(path, kStandard[i]) == 0) return i;
  }
  char own[40];
  snprintf(own, sizeof own, "/proc/%ld/fd/", static_cast<long>(getpid()));
  for (const char* prefix :
       {"/dev/fd/", "/proc/self/fd/", "/proc/thread-self/fd/",
        static_cast<const char*>(own)}) {
    size_t length = strlen(prefix);
    if (strncmp(path, prefix, length) == 0) {
      return DescriptorNumber(path + length);
    }
  }
  return -1;
}

}  // namespace

FileHandle* HandleOf(int descriptor) {
  // The descriptor plus one, so that null means none.
  return reinterpret_cast<FileHandle*>(static_cast<intptr_t>(descriptor) + 1);
}

int Descriptor(FileHandle* file) {
  return static_cast<int>(reinterpret_cast<intptr_t>(file) - 1);
}

void WriteBackAsWritten(int descriptor) { gWriteBack = {descriptor, 0, 0}; }

void FailWritesPastSizeLimit() {
  // Past the file-size limit (ulimit -f) a write raises SIGXFSZ, whose
  // default ends the process on the spot, its temporary file left behind.
  // Ignored, the write fails with EFBIG as one to a full disk does.  A
  // handler that the process installed is its own and stays.
  struct sigaction current;
  if (sigaction(SIGXFSZ, nullptr, &current) != 0 ||
      (current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) {
    return;
  }
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGXFSZ, &ignore, nullptr);
}

size_t DirectoryLength(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
}

bool FollowLinks(const char* path, char* out, struct stat* info, bool* exists,
                 int* descriptor) {
  size_t length = strlen(path);
  if (length == 0 || length >= kNativePathSize) return false;
  memcpy(out, path, length + 1);
  for (int links = 0;; ++links) {
    if (descriptor != nullptr && (*descriptor = DescriptorNamed(out)) >= 0) {
      return true;
    }
    if (lstat(out, info) != 0) {
      // Nothing there: the file is created, through a dangling link too.
      *exists = false;
      return errno == ENOENT;
    }
    *exists = true;
    if (!S_ISLNK(info->st_mode)) return true;
    char target[kNativePathSize];
    ssize_t got = readlink(out, target, sizeof target);
    if (links == kMaxLinks || got <= 0 ||
        static_cast<size_t>(got) >= sizeof target) {
      return false;
    }
    // A relative target is relative to the link's directory.
    size_t directory = target[0] == '/' ? 0 : DirectoryLength(out);
    if (directory + static_cast<size_t>(got) >= kNativePathSize) return false;
    memcpy(out + directory, target, static_cast<size_t>(got));
    out[directory + static_cast<size_t>(got)] = '\0';
  }
}

}  // namespace posix

namespace {

// Whether `path` names a descriptor of the process, links followed; *number
// is then that descriptor.
bool NamesDescriptor(const char* path, int* number) {
  char native[posix::kNativePathSize];
  char followed[posix::kNativePathSize];
  struct stat info;
  bool exists;
  *number = -1;
  return posix::NativePath(path, native) &&
         posix::FollowLinks(native, followed, &info, &exists, number) &&
         *number >= 0;
}

}  // namespace

FileHandle* CreateFileForWriting(const char* path) {
  posix::FailWritesPastSizeLimit();
  int named;
  if (NamesDescriptor(path, &named)) {
    // Written through a descriptor of its own on the same open file: at its
    // offset, in its mode, and never truncated.
    int flags = fcntl(named, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return nullptr;
    int descriptor = fcntl(named, F_DUPFD_CLOEXEC, 0);
    return descriptor < 0 ? nullptr : posix::HandleOf(descriptor);
  }
  char native[posix::kNativePathSize];
  if (!posix::NativePath(path, native)) return nullptr;
  int descriptor = open(native, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (descriptor < 0) return nullptr;
  return posix::HandleOf(descriptor);
}

bool WriteToFile(FileHandle* file, const void* bytes, uint32_t count,
                 uint32_t* written) {
  // WriteFile on a disk file writes everything or fails; write(2) may stop
  // short, so go on until it is done or reports an error.
  int descriptor = posix::Descriptor(file);
  const char* next = static_cast<const char*>(bytes);
  uint32_t done = 0;
  while (done < count) {
    ssize_t got = write(descriptor, next + done, count - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<uint32_t>(got);
  }
  *written = done;
  posix::StartWriteBack(descriptor, done);
  return done == count;
}

bool CloseFile(FileHandle* file) {
  int descriptor = posix::Descriptor(file);
  if (descriptor == posix::gWriteBack.descriptor) {
    posix::gWriteBack = posix::WriteBack();
  }
  return close(descriptor) == 0;
}

bool FlushFile(FileHandle* file) {
  while (fsync(posix::Descriptor(file)) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool IsSpecialFile(const char* path) {
  int named;
  if (NamesDescriptor(path, &named)) return true;
  char native[posix::kNativePathSize];
  struct stat info;
  return posix::NativePath(path, native) && stat(native, &info) == 0 &&
         !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

bool IsStandardOutput(const char* path) {
  struct stat output;
  if (fstat(STDOUT_FILENO, &output) != 0) return false;
  struct stat info;
  int named;
  if (NamesDescriptor(path, &named)) {
    if (fstat(named, &info) != 0) return false;
  } else {
    char native[posix::kNativePathSize];
    if (!posix::NativePath(path, native) || stat(native, &info) != 0 ||
        S_ISREG(info.st_mode) || S_ISDIR(info.st_mode)) {
      return false;
    }
  }
  return info.st_dev == output.st_dev && info.st_ino == output.st_ino;
}

}  // namespace platform
