// The benchmark's parallel floor on Linux: the reference walker's work and
// rules (bench/ref_walk.cpp), shared by THREADS threads with nothing a
// parallel walk could do without.  Each thread takes the newest directory
// from one shared stack, reads it whole (getdents64, one statx per entry)
// and puts its subdirectories on the stack; the records stay with the
// thread that found them, held until the walk ends as kavelo holds them,
// and are then written thread by thread.  So the file holds the reference
// walker's records in another order, and the walk spends nothing on order:
// no directory's entries handed from one thread to another, no waiting for
// the next directory in line.  A directory is opened relative to its
// parent, whose descriptor stays open until the last of its subdirectories
// is opened.
//
//   ref_walk_parallel ROOT LETTER OUT THREADS [flush]
//
// With `flush`, the file is written as kavelo writes it (see ref_linux.h).
#include <sys/resource.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "ref_linux.h"

namespace {

using ref::kPathSize;
using ref::kPatternTail;

// A directory to read, and the identities of those on its path, for the
// rule on links that lead back.  Kept until the walk ends.
struct Directory {
  Directory* parent;
  uint32_t major, minor;
  uint64_t inode;
  int fd;  // open from its read until its last subdirectory is opened
  std::atomic<size_t> unopened{0};  // subdirectories not yet opened
  size_t nameAt;                    // where its name begins in `path`
  size_t length;
  char path[kPathSize];  // Windows form, `K:\dir\sub`
};

Directory* NewDirectory(Directory* parent, const struct statx& info) {
  auto* directory = new (std::nothrow) Directory;
  if (directory == nullptr) ref::Fail("new");
  directory->parent = parent;
  directory->major = info.stx_dev_major;
  directory->minor = info.stx_dev_minor;
  directory->inode = info.stx_ino;
  directory->fd = -1;
  return directory;
}

bool OnPath(const struct statx& info, const Directory* directory) {
  for (; directory != nullptr; directory = directory->parent) {
    if (directory->major == info.stx_dev_major &&
        directory->minor == info.stx_dev_minor &&
        directory->inode == info.stx_ino) {
      return true;
    }
  }
  return false;
}

int gRoot = -1;
int64_t gBias = 0;
ref::Output gOut;

std::mutex gLock;
std::condition_variable gWake;
std::vector<Directory*> gStack;  // guarded by gLock
unsigned gReading = 0;           // threads reading a directory; gLock

// Opens `directory` relative to its parent, and closes the parent once all
// its subdirectories are open.
int Open(const Directory& directory) {
  Directory* parent = directory.parent;
  if (parent == nullptr) return gRoot;
  int fd = ref::OpenDirectory(parent->fd, directory.path + directory.nameAt);
  if (--parent->unopened == 0) close(parent->fd);
  return fd;
}

// Reads `directory`: its files go to `records`, its subdirectories to
// `found`.  Its descriptor stays open while they are to be opened.
void Read(Directory* directory, ref::HeldRecords* records,
          std::vector<Directory*>* found) {
  int fd = Open(*directory);
  if (fd < 0) return;
  alignas(8) char buffer[ref::kDentsBufferSize];
  const size_t length = directory->length;
  auto visit = [&](const char* name, size_t nameLength,
                   const struct statx& info, bool link) {
    if (!S_ISDIR(info.stx_mode)) {
      int32_t times[3];
      ref::StoredTimes(info, gBias, times);
      if (!records->Add(directory->path, length, name, nameLength, times,
                        static_cast<uint32_t>(info.stx_size))) {
        ref::Fail("malloc");
      }
      return;
    }
    if (length + 1 + nameLength + kPatternTail >= kPathSize) return;
    if (link && OnPath(info, directory)) return;
    Directory* child = NewDirectory(directory, info);
    child->nameAt = length + 1;
    child->length = length + 1 + nameLength;
    memcpy(child->path, directory->path, length);
    child->path[length] = '\\';
    memcpy(child->path + length + 1, name, nameLength + 1);
    found->push_back(child);
  };
  ref::ForEachEntry(fd, buffer, visit);
  // Set before they are shared: their opens count down from here.
  directory->fd = fd;
  directory->unopened = found->size();
  if (found->empty()) close(fd);
}

// One thread's walk; `read` gathers the directories it read.
void Work(ref::HeldRecords* records, std::vector<Directory*>* read) {
  std::vector<Directory*> found;
  std::unique_lock<std::mutex> lock(gLock);
  for (;;) {
    while (gStack.empty()) {
      if (gReading == 0) return;  // nothing left, nor anyone to find more
      gWake.wait(lock);
    }
    Directory* directory = gStack.back();
    gStack.pop_back();
    ++gReading;
    lock.unlock();
    found.clear();
    Read(directory, records, &found);
    read->push_back(directory);
    lock.lock();
    --gReading;
    // Pushed in reverse, so that the first found is read first.
    gStack.insert(gStack.end(), found.rbegin(), found.rend());
    if (!found.empty() || (gStack.empty() && gReading == 0)) {
      gWake.notify_all();
    }
  }
}

struct Thread {
  ref::HeldRecords records;
  std::vector<Directory*> read;
  std::thread thread;
};

void WriteAll(const void* bytes, size_t count) {
  ref::WriteOutput(gOut, bytes, count);
}

}  // namespace

int main(int argc, char** argv) {
  bool flush = argc == 6 && strcmp(argv[5], "flush") == 0;
  int threads = argc >= 5 ? atoi(argv[4]) : 0;
  if ((argc != 5 && !flush) || strlen(argv[2]) != 1 || threads < 1 ||
      threads > 64) {
    fprintf(stderr,
            "usage: ref_walk_parallel ROOT LETTER OUT THREADS [flush]\n");
    return 2;
  }
  time_t now = time(nullptr);
  gBias = ref::LocalBias(now);
  gRoot = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (gRoot < 0) ref::Fail(argv[1]);
  struct statx info;
  if (statx(gRoot, "", AT_EMPTY_PATH, STATX_INO, &info) != 0) {
    ref::Fail("statx");
  }
  Directory* root = NewDirectory(nullptr, info);
  root->length = root->nameAt = 2;
  root->path[0] = argv[2][0];
  root->path[1] = ':';
  root->path[2] = '\0';
  gStack.push_back(root);
  // Every directory with subdirectories still to open holds a descriptor.
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }

  std::vector<Thread> pool(static_cast<size_t>(threads));
  for (size_t i = 1; i < pool.size(); ++i) {
    pool[i].thread = std::thread(Work, &pool[i].records, &pool[i].read);
  }
  Work(&pool[0].records, &pool[0].read);
  for (size_t i = 1; i < pool.size(); ++i) pool[i].thread.join();

  ref::OpenOutput(argv[3], flush, &gOut);
  uint8_t header[ref::kHeaderSize];
  ref::PutHeader(argv[2][0], static_cast<uint32_t>(now), header);
  WriteAll(header, sizeof header);
  for (const Thread& thread : pool) thread.records.WriteTo(WriteAll);
  ref::CloseOutput(gOut);
  for (const Thread& thread : pool) {
    for (Directory* directory : thread.read) delete directory;
  }
  return 0;
}
