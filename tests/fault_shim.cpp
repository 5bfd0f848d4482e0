// Faults for the end-to-end cases, preloaded into a run (LD_PRELOAD) in
// place of the C library's calls, and chosen by the environment.  strace
// fails a call whole; these are the faults it cannot make.
//
//   KAVELO_FAULT_SHORT_WRITE=N  the Nth write or pwrite to a regular file
//       writes half its bytes and the next one fails with ENOSPC: a disk
//       that fills midway through a write.
//   KAVELO_FAULT_FAILED_READ=N  the Nth pread of a regular file fails (EIO).
//   KAVELO_FAULT_NO_TMPFILE=1   an open with O_TMPFILE fails (EOPNOTSUPP), as
//       on a file system without nameless files.
//
// The calls go to the kernel directly, past the C library.  Fortified
// headers would define open() inline, in the way of the definition here.
#undef _FORTIFY_SOURCE
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>

namespace {

std::atomic<long> gWrites{0};
std::atomic<long> gReads{0};
std::atomic<bool> gFailNextWrite{false};

long Setting(const char* name) {
  const char* value = getenv(name);
  return value == nullptr ? 0 : strtol(value, nullptr, 10);
}

bool IsRegularFile(int descriptor) {
  struct stat info;
  return fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode);
}

// The bytes of `count` that a write to `descriptor` writes; -1, errno set,
// when it fails.
long Writable(int descriptor, size_t count) {
  long at = Setting("KAVELO_FAULT_SHORT_WRITE");
  if (at <= 0 || !IsRegularFile(descriptor)) return static_cast<long>(count);
  bool full = gFailNextWrite.exchange(false);
  if (!full && ++gWrites != at) return static_cast<long>(count);
  // A byte cannot be halved: that write fails outright.
  if (full || count < 2) {
    errno = ENOSPC;
    return -1;
  }
  gFailNextWrite = true;
  return static_cast<long>(count / 2);
}

}  // namespace

extern "C" ssize_t write(int descriptor, const void* bytes, size_t count) {
  long writable = Writable(descriptor, count);
  if (writable < 0) return -1;
  return syscall(SYS_write, descriptor, bytes, writable);
}

extern "C" ssize_t pwrite(int descriptor, const void* bytes, size_t count,
                          off_t offset) {
  long writable = Writable(descriptor, count);
  if (writable < 0) return -1;
  return syscall(SYS_pwrite64, descriptor, bytes, writable, offset);
}

extern "C" ssize_t pread(int descriptor, void* bytes, size_t count,
                         off_t offset) {
  long at = Setting("KAVELO_FAULT_FAILED_READ");
  if (at > 0 && IsRegularFile(descriptor) && ++gReads == at) {
    errno = EIO;
    return -1;
  }
  return syscall(SYS_pread64, descriptor, bytes, count, offset);
}

extern "C" int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
  }
  if ((flags & O_TMPFILE) == O_TMPFILE &&
      Setting("KAVELO_FAULT_NO_TMPFILE") != 0) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}
