// What both Linux reference walkers share: describing an entry as kavelo
// does, its stored times, and the output file, written plainly or as kavelo
// writes it (a temporary file beside it, flushed, renamed over it, the
// directory flushed).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ref_records.h"

namespace ref {

constexpr size_t kPathSize = 260;   // Win32's MAX_PATH
constexpr size_t kPatternTail = 4;  // "\*.*"
constexpr size_t kDentsBufferSize = 32768;
constexpr unsigned kStatxMask = STATX_TYPE | STATX_MODE | STATX_SIZE |
                                STATX_ATIME | STATX_MTIME | STATX_BTIME;

struct LinuxDirent64 {
  uint64_t ino;
  int64_t off;
  unsigned short reclen;
  unsigned char type;
  char name[];
};

// Ends the walker at once, from any of its threads.
[[noreturn]] inline void Fail(const char* what) {
  perror(what);
  _exit(1);
}

// Opens the subdirectory `name` of the open directory `fd`: -1 when it
// vanished or cannot be read, as kavelo then leaves it out.  Out of
// descriptors or memory ends the walker: its database would lack what
// kavelo's holds, and a timed run's database is not compared.
inline int OpenDirectory(int fd, const char* name) {
  int child = openat(fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (child < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOMEM)) {
    Fail(name);
  }
  return child;
}

// Seconds east of UTC now, which kavelo applies to every time.
inline int64_t LocalBias(time_t now) {
  struct tm fields;
  return localtime_r(&now, &fields) != nullptr ? fields.tm_gmtoff : 0;
}

// A statx time as kavelo stores it (0 before 1601).
inline int32_t StoredTime(const struct statx_timestamp& stamp, int64_t bias) {
  uint64_t ticks = 0;
  if (stamp.tv_sec >= -kSeconds1601To1970) {
    ticks = static_cast<uint64_t>(stamp.tv_sec + kSeconds1601To1970) *
                kTicksPerSecond +
            stamp.tv_nsec / 100;
  }
  return StoredTime(ticks, bias);
}

// Last write, creation and last access; where the file system keeps no
// birth time the last-write time stands in.
inline void StoredTimes(const struct statx& info, int64_t bias,
                        int32_t times[3]) {
  const struct statx_timestamp& birth =
      (info.stx_mask & STATX_BTIME) != 0 ? info.stx_btime : info.stx_mtime;
  times[0] = StoredTime(info.stx_mtime, bias);
  times[1] = StoredTime(birth, bias);
  times[2] = StoredTime(info.stx_atime, bias);
}

// Describes `name` in the open directory `fd` as kavelo does: a link stands
// for its target, a dangling link is a file of its own.  False when the
// entry vanished; `*link` tells whether it is a link.
inline bool Describe(int fd, const char* name, struct statx* info, bool* link) {
  if (statx(fd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, kStatxMask,
            info) != 0) {
    return false;
  }
  *link = S_ISLNK(info->stx_mode);
  if (*link) {
    struct statx target;
    if (statx(fd, name, AT_NO_AUTOMOUNT, kStatxMask, &target) == 0) {
      *info = target;
    }
  }
  return true;
}

// Calls `visit(name, nameLength, info, link)` for each entry of the open
// directory `fd` that kavelo looks at: not a name beginning with '.' (passed
// over without a system call), nor one that vanished.  `buffer` holds
// kDentsBufferSize bytes.
template <typename Visit>
void ForEachEntry(int fd, char* buffer, Visit visit) {
  for (;;) {
    long got = syscall(SYS_getdents64, fd, buffer, kDentsBufferSize);
    if (got <= 0) return;
    for (long at = 0; at < got;) {
      auto* entry = reinterpret_cast<LinuxDirent64*>(buffer + at);
      at += entry->reclen;
      const char* name = entry->name;
      if (name[0] == '.') continue;
      struct statx info;
      bool link;
      if (!Describe(fd, name, &info, &link)) continue;
      visit(name, strlen(name), info, link);
    }
  }
}

// The database file being written.
struct Output {
  int fd = -1;
  bool flush = false;
  const char* path = nullptr;
  char temporary[4096];
};

inline void OpenOutput(const char* path, bool flush, Output* out) {
  out->path = path;
  out->flush = flush;
  snprintf(out->temporary, sizeof out->temporary, "%s.tmp", path);
  const char* written = flush ? out->temporary : path;
  out->fd = open(written, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out->fd < 0) Fail(written);
}

inline void WriteOutput(const Output& out, const void* bytes, size_t count) {
  const char* next = static_cast<const char*>(bytes);
  while (count > 0) {
    ssize_t got = write(out.fd, next, count);
    if (got < 0) Fail("write");
    next += got;
    count -= static_cast<size_t>(got);
  }
}

// Closes the file; when flushed, renames it over the path and flushes the
// directory.
inline void CloseOutput(const Output& out) {
  if (out.flush && fsync(out.fd) != 0) Fail("fsync");
  if (close(out.fd) != 0) Fail("close");
  if (!out.flush) return;
  if (rename(out.temporary, out.path) != 0) Fail("rename");
  char directory[4096];
  snprintf(directory, sizeof directory, "%s", out.path);
  char* slash = strrchr(directory, '/');
  if (slash == nullptr) {
    snprintf(directory, sizeof directory, ".");
  } else {
    slash[slash == directory ? 1 : 0] = '\0';
  }
  int parent = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent < 0 || fsync(parent) != 0) Fail(directory);
  close(parent);
}

}  // namespace ref
