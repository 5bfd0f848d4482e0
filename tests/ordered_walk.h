// Walks whose threads move in an order the test sets, whatever the
// machine's load: the walk's thread and its one worker meet at the memory
// seam.
#pragma once

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "database/directory_list.h"
#include "database/record_store.h"
#include "support/memory.h"

// Sets the order of a walk's and its one worker's moves through the memory
// seam, whatever the machine's load: either thread waits there for the
// other to reach a given point.  The walk's thread sleeps only where it
// waits for the worker (every lock it takes is free while the worker waits
// here), so a worker held until then goes on only once the walk waits.
class OrderedWalk {
 protected:
  static constexpr auto kPatience = std::chrono::seconds(30);
  static constexpr size_t kChunkBytes = sizeof(ListChunk) + kListChunkSize;

  // Opens the walk thread's status now: while the worker holds the last
  // descriptor there is none to open it with.
  OrderedWalk() {
    walk_ = std::this_thread::get_id();
    std::string stat =
        "/proc/self/task/" + std::to_string(syscall(SYS_gettid)) + "/stat";
    walkStat_ = open(stat.c_str(), O_RDONLY | O_CLOEXEC);
    stalled_ = false;
  }
  ~OrderedWalk() {
    memory::SetAllocator(nullptr);
    close(walkStat_);
  }

  static bool OnWalkThread() { return std::this_thread::get_id() == walk_; }

  static bool WalkSleeps() {
    char text[512];
    ssize_t got = pread(walkStat_, text, sizeof text - 1, 0);
    if (got <= 0) return false;
    text[got] = '\0';
    const char* end = strrchr(text, ')');
    return end != nullptr && end[1] == ' ' && end[2] == 'S';
  }

  // Waits, with lock_ held, until `ready`; after kPatience it gives up and
  // says so through Stalled().
  template <typename Ready>
  static void Await(std::unique_lock<std::mutex>& lock, Ready ready) {
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!ready()) {
      if (std::chrono::steady_clock::now() > deadline) {
        stalled_ = true;
        return;
      }
      wake_.wait_for(lock, std::chrono::milliseconds(1));
    }
    wake_.notify_all();
  }

  static inline std::mutex lock_;
  static inline std::condition_variable wake_;
  static inline std::thread::id walk_;
  static inline int walkStat_ = -1;
  static inline bool stalled_ = false;

 public:
  static bool Stalled() { return stalled_; }
};

// The walk opens the target of a link itself, the first thing it does after
// reading the drive: it waits there until the worker, reading the drive's
// one plain subdirectory, holds the last descriptor.  The worker goes on
// once the walk sleeps.
class HeldDescriptorWalk : public OrderedWalk {
 public:
  HeldDescriptorWalk() {
    walkOthers_ = 0;
    held_ = atLink_ = false;
    memory::SetAllocator(Allocate);
  }

 private:
  static void* Allocate(size_t size) {
    std::unique_lock<std::mutex> lock(lock_);
    if (!OnWalkThread()) {
      if (size == kChunkBytes && !held_) {
        held_ = true;
        Await(lock, [] { return atLink_ && WalkSleeps(); });
      }
    } else if (size != kChunkBytes && size != kBlockSize &&
               ++walkOthers_ == 2) {
      // The task of the subdirectory, then the set of linked directories
      // that the link's target enters.
      Await(lock, [] { return held_; });
      atLink_ = true;
    }
    lock.unlock();
    return ::operator new(size, std::nothrow);
  }

  static inline int walkOthers_ = 0;
  static inline bool held_ = false;
  static inline bool atLink_ = false;
};

// The walk fails at its first record (the record store is full and cannot
// grow); by then the worker has read ahead at least one directory the walk
// will not enter, and is held in the middle of reading a subdirectory of
// it, to go on only once the walk waits for it to end.  Every block the
// walk takes must be given back.
class FailingWalk : public OrderedWalk {
 public:
  // The worker is held at its fourth list: it has read a subdirectory of
  // the drive and that subdirectory's own subdirectory by then.
  static constexpr int kHeldAtList = 4;

  FailingWalk() {
    workerLists_ = 0;
    armed_ = queued_ = held_ = failed_ = false;
    live_ = 0;
    memory::SetAllocator(Allocate, Release);
  }

  // From now on the record store cannot grow.
  static void Arm() { armed_ = true; }
  static long Live() { return live_; }

 private:
  static void* Allocate(size_t size) {
    std::unique_lock<std::mutex> lock(lock_);
    if (!OnWalkThread()) {
      if (size == kChunkBytes && ++workerLists_ == kHeldAtList) Hold(lock);
    } else if (size == kBlockSize && armed_) {
      // The store is full: fail the walk once the worker is held.  Nor do
      // the workers give way to the walk (as they would for its memory): the
      // walk fails with its worker holding tasks, as it does for want of
      // descriptors.
      Await(lock, [] { return held_; });
      failed_ = true;
      memory::SetReclaimer(nullptr);
      return nullptr;
    } else if (size == kChunkBytes && queued_) {
      // The walk reads a list itself, perhaps while it waits for the
      // worker: it goes on once the worker has gone on to its next list, or
      // is held (in a directory the walk does not reach).
      int seen = workerLists_;
      Await(lock, [seen] { return workerLists_ > seen || held_; });
    } else if (size != kChunkBytes && armed_) {
      queued_ = true;  // the walk has handed the worker its first tasks
    }
    lock.unlock();
    void* block = ::operator new(size, std::nothrow);
    if (block != nullptr) ++live_;
    return block;
  }

  static void Release(void* block) {
    if (block != nullptr) --live_;
    ::operator delete(block);
  }

  // Holds the worker until the failed walk waits for it to end.
  static void Hold(std::unique_lock<std::mutex>& lock) {
    held_ = true;
    wake_.notify_all();
    Await(lock, [] { return failed_ && WalkSleeps(); });
  }

  static inline int workerLists_ = 0;
  static inline bool armed_ = false;
  static inline bool queued_ = false;
  static inline bool held_ = false;
  static inline bool failed_ = false;
  static inline std::atomic<long> live_{0};
};
