// The benchmark's reference walker on Linux: the least work that yields
// kavelo's database.  One openat per directory, getdents64 for its entries,
// one statx per entry relative to the directory's descriptor (a second for a
// link, to take its target's stats), records packed into 350000-byte blocks
// and one write per block.  The walk follows kavelo's rules, so its file
// equals kavelo's but for the 4-byte database time:
//   - names beginning with '.' are passed over without a system call;
//   - a link stands for its target; a dangling link is a file of its own;
//   - a link to a directory on the current path is not entered;
//   - a subdirectory whose search pattern (`path\*.*`) would not fit 259
//     characters is left out.
//
//   ref_walk ROOT LETTER OUT [flush]
//
// With `flush`, the file is written as kavelo writes it: to a temporary
// file beside OUT, flushed to stable storage, renamed over OUT, and the
// directory flushed, so that a row of the benchmark shows what durability
// costs apart from the walk.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ref_records.h"

namespace {

constexpr size_t kPathSize = 260;   // Win32's MAX_PATH
constexpr size_t kPatternTail = 4;  // "\*.*"
constexpr size_t kDentsBufferSize = 32768;
// Each level adds at least two characters to a path of under 260.
constexpr int kMaxDepth = 130;
constexpr unsigned kStatxMask = STATX_TYPE | STATX_MODE | STATX_SIZE |
                                STATX_ATIME | STATX_MTIME | STATX_BTIME;

struct LinuxDirent64 {
  uint64_t ino;
  int64_t off;
  unsigned short reclen;
  unsigned char type;
  char name[];
};

int gOut = -1;
int64_t gBias = 0;

// (device, inode) of each directory on the current path.
struct Identity {
  uint32_t major, minor;
  uint64_t inode;
};
Identity gPath[kMaxDepth];
// One getdents64 buffer per level, as glibc's readdir keeps one per stream.
alignas(8) char gDents[kMaxDepth][kDentsBufferSize];

void Fail(const char* what) {
  perror(what);
  exit(1);
}

void WriteAll(const void* bytes, size_t count) {
  const char* next = static_cast<const char*>(bytes);
  while (count > 0) {
    ssize_t got = write(gOut, next, count);
    if (got < 0) Fail("write");
    next += got;
    count -= static_cast<size_t>(got);
  }
}

// A statx time in ticks since 1601 (0 before 1601), stored as kavelo stores
// it.
int32_t StoredTime(const struct statx_timestamp& stamp) {
  uint64_t ticks = 0;
  if (stamp.tv_sec >= -ref::kSeconds1601To1970) {
    ticks = static_cast<uint64_t>(stamp.tv_sec + ref::kSeconds1601To1970) *
                ref::kTicksPerSecond +
            stamp.tv_nsec / 100;
  }
  return ref::StoredTime(ticks, gBias);
}

ref::RecordBlocks gRecords(WriteAll);

void AddRecord(const char* directory, size_t length, const char* name,
               size_t nameLength, const struct statx& info) {
  // Where the file system keeps no birth time the last-write time stands in.
  const struct statx_timestamp& birth =
      (info.stx_mask & STATX_BTIME) != 0 ? info.stx_btime : info.stx_mtime;
  const int32_t times[3] = {StoredTime(info.stx_mtime), StoredTime(birth),
                            StoredTime(info.stx_atime)};
  gRecords.Add(directory, length, name, nameLength, times,
               static_cast<uint32_t>(info.stx_size));
}

bool OnPath(const struct statx& info, int depth) {
  for (int i = 0; i <= depth; ++i) {
    if (gPath[i].major == info.stx_dev_major &&
        gPath[i].minor == info.stx_dev_minor &&
        gPath[i].inode == info.stx_ino) {
      return true;
    }
  }
  return false;
}

// Walks the open directory `fd`, whose Windows-form path is `path`
// (`length` bytes, room for kPathSize); closes `fd`.
void Walk(int fd, char* path, size_t length, int depth) {
  char* buffer = gDents[depth];
  for (;;) {
    long got = syscall(SYS_getdents64, fd, buffer, kDentsBufferSize);
    if (got <= 0) break;
    for (long at = 0; at < got;) {
      auto* entry = reinterpret_cast<LinuxDirent64*>(buffer + at);
      at += entry->reclen;
      const char* name = entry->name;
      if (name[0] == '.') continue;
      struct statx info;
      if (statx(fd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, kStatxMask,
                &info) != 0) {
        continue;
      }
      bool link = S_ISLNK(info.stx_mode);
      if (link) {
        struct statx target;
        if (statx(fd, name, AT_NO_AUTOMOUNT, kStatxMask, &target) == 0) {
          info = target;
        }
      }
      size_t nameLength = strlen(name);
      if (!S_ISDIR(info.stx_mode)) {
        AddRecord(path, length, name, nameLength, info);
        continue;
      }
      if (length + 1 + nameLength + kPatternTail >= kPathSize) continue;
      if (link && OnPath(info, depth)) continue;
      if (depth + 1 >= kMaxDepth) continue;
      int child = openat(fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (child < 0) continue;
      gPath[depth + 1] = {info.stx_dev_major, info.stx_dev_minor, info.stx_ino};
      path[length] = '\\';
      memcpy(path + length + 1, name, nameLength + 1);
      Walk(child, path, length + 1 + nameLength, depth + 1);
      path[length] = '\0';
    }
  }
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  bool flush = argc == 5 && strcmp(argv[4], "flush") == 0;
  if ((argc != 4 && !flush) || strlen(argv[2]) != 1) {
    fprintf(stderr, "usage: ref_walk ROOT LETTER OUT [flush]\n");
    return 2;
  }
  time_t now = time(nullptr);
  struct tm fields;
  gBias = localtime_r(&now, &fields) != nullptr ? fields.tm_gmtoff : 0;

  int root = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) Fail(argv[1]);
  struct statx info;
  if (statx(root, "", AT_EMPTY_PATH, STATX_INO, &info) != 0) Fail("statx");
  gPath[0] = {info.stx_dev_major, info.stx_dev_minor, info.stx_ino};

  char temporary[4096];
  snprintf(temporary, sizeof temporary, "%s.tmp", argv[3]);
  const char* written = flush ? temporary : argv[3];
  gOut = open(written, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (gOut < 0) Fail(written);
  // Header: signature and mark, empty creator and description, the drive
  // letter, the database time.
  uint8_t header[17] = {'V', 'A', 'N', 'T',
                        'O', 'R', 'E', 'X',
                        4,   0,   0,   static_cast<uint8_t>(argv[2][0]),
                        0};
  ref::PutUint32(static_cast<uint32_t>(now), header + 13);
  WriteAll(header, 17);

  char path[kPathSize + 256] = {argv[2][0], ':', '\0'};
  Walk(root, path, 2, 0);
  gRecords.Finish();
  if (flush && fsync(gOut) != 0) Fail("fsync");
  if (close(gOut) != 0) Fail("close");
  if (flush) {
    if (rename(temporary, argv[3]) != 0) Fail("rename");
    char directory[4096];
    snprintf(directory, sizeof directory, "%s", argv[3]);
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
  return 0;
}
