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
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "ref_linux.h"

namespace {

using ref::kDentsBufferSize;
using ref::kPathSize;
using ref::kPatternTail;

// Each level adds at least two characters to a path of under 260.
constexpr int kMaxDepth = 130;

ref::Output gOut;
int64_t gBias = 0;

// (device, inode) of each directory on the current path.
struct Identity {
  uint32_t major, minor;
  uint64_t inode;
};
Identity gPath[kMaxDepth];
// One getdents64 buffer per level, as glibc's readdir keeps one per stream.
alignas(8) char gDents[kMaxDepth][kDentsBufferSize];

void WriteAll(const void* bytes, size_t count) {
  ref::WriteOutput(gOut, bytes, count);
}

ref::RecordBlocks gRecords(WriteAll);

void AddRecord(const char* directory, size_t length, const char* name,
               size_t nameLength, const struct statx& info) {
  int32_t times[3];
  ref::StoredTimes(info, gBias, times);
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
  auto visit = [&](const char* name, size_t nameLength,
                   const struct statx& info, bool link) {
    if (!S_ISDIR(info.stx_mode)) {
      AddRecord(path, length, name, nameLength, info);
      return;
    }
    if (length + 1 + nameLength + kPatternTail >= kPathSize) return;
    if (link && OnPath(info, depth)) return;
    if (depth + 1 >= kMaxDepth) return;
    int child = ref::OpenDirectory(fd, name);
    if (child < 0) return;
    gPath[depth + 1] = {info.stx_dev_major, info.stx_dev_minor, info.stx_ino};
    path[length] = '\\';
    memcpy(path + length + 1, name, nameLength + 1);
    Walk(child, path, length + 1 + nameLength, depth + 1);
    path[length] = '\0';
  };
  ref::ForEachEntry(fd, gDents[depth], visit);
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
  gBias = ref::LocalBias(now);

  int root = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) ref::Fail(argv[1]);
  struct statx info;
  if (statx(root, "", AT_EMPTY_PATH, STATX_INO, &info) != 0) {
    ref::Fail("statx");
  }
  gPath[0] = {info.stx_dev_major, info.stx_dev_minor, info.stx_ino};

  ref::OpenOutput(argv[3], flush, &gOut);
  uint8_t header[ref::kHeaderSize];
  ref::PutHeader(argv[2][0], static_cast<uint32_t>(now), header);
  WriteAll(header, sizeof header);

  char path[kPathSize + 256] = {argv[2][0], ':', '\0'};
  Walk(root, path, 2, 0);
  gRecords.Finish();
  ref::CloseOutput(gOut);
  return 0;
}
