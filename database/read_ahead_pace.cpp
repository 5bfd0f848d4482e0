#include "database/read_ahead_pace.h"

#include <chrono>

#include "database/read_ahead.h"
#include "database/read_ahead_internal.h"
#include "platform/platform.h"

uint32_t FoldReadTime(uint32_t mean, uint64_t nanos, uint32_t entries) {
  constexpr uint64_t kLongest = 4 * kSlowEntry;
  uint64_t perEntry = nanos / (entries + kDirectoryAsEntries);
  uint32_t sample =
      static_cast<uint32_t>(perEntry < kLongest ? perEntry : kLongest);
  return mean - mean / 16 + sample / 16;
}

unsigned ReadersAllowed(unsigned processors, uint32_t mean, bool walkWaiting) {
  // When reads wait on the disk rather than on a processor, every worker
  // may: a cold walk goes as fast as the disk serves reads side by side, a
  // tenth faster with two workers than with one.
  if (mean > kSlowEntry) return kMaxReadAheadWorkers;
  // Otherwise one processor fewer than there are, as the walk's thread keeps
  // one busy.  Every record passes through it, so it must not wait for a
  // processor behind workers that only run further ahead: on two
  // processors, two workers reading beside it made a warm walk a fifth
  // slower than one did.  While it waits, one more may.
  unsigned limit = processors > 1 ? processors - 1 : 1;
  return limit + (walkWaiting ? 1 : 0);
}

namespace {

// On one processor a worker gains only while the walk waits (for the disk,
// the network); reads slow on the processor, as every warm read under Wine
// is and a cold one in a virtual machine largely is, leave it nothing to
// gain and cost it a switch between threads a directory.  A block waited
// when it spent a quarter of its time or more off the processor.  Warm, one
// block in twelve does (the moments another program has the processor);
// cold, seven in ten.  Half of the last kWindowBlocks blocks mark a walk
// worth reading ahead.  Counted, not weighed, so that one long wait cannot
// tip it.
constexpr unsigned kWindowBlocks = 16;
constexpr unsigned kWaitedBlocksToStart = kWindowBlocks / 2;

}  // namespace

bool NoteWalkBlock(WaitedBlocks* blocks, uint64_t wall, uint64_t busy) {
  constexpr uint32_t kOldest = uint32_t{1} << (kWindowBlocks - 1);
  if ((blocks->bits & kOldest) != 0) --blocks->count;
  blocks->bits = (blocks->bits & (kOldest - 1)) << 1;
  if (wall > busy && (wall - busy) * 4 >= wall) {
    blocks->bits |= 1;
    ++blocks->count;
  }
  return blocks->count >= kWaitedBlocksToStart;
}

namespace {

// The run's pace.  The processors and the mean read are the queue's,
// guarded by its lock; the block and its clocks are the walk thread's own.
unsigned gProcessors = 1;
uint32_t gEntryNanos = 0;
WaitedBlocks gWaited;
unsigned gBlockDirectories = 0;
uint64_t gBlockStart = 0;
uint64_t gBlockBusyStart = 0;
uint64_t (*gClock)() = nullptr;
uint64_t (*gBusyClock)() = nullptr;

uint64_t BusyNow() {
  if (gBusyClock != nullptr) return gBusyClock();
  uint64_t nanos = 0;
  platform::ThreadProcessorTime(&nanos);
  return nanos;
}

}  // namespace

void PaceStart(unsigned processors) {
  gProcessors = processors;
  gEntryNanos = 0;
}

uint64_t PaceNow() {
  if (gClock != nullptr) return gClock();
  // A steady clock never goes back: the count is not negative.
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

void PaceNoteRead(uint64_t nanos, uint32_t entries) {
  gEntryNanos = FoldReadTime(gEntryNanos, nanos, entries);
}

unsigned PaceFreeSlots(unsigned reading, bool walkWaiting) {
  unsigned limit = ReadersAllowed(gProcessors, gEntryNanos, walkWaiting);
  return reading < limit ? limit - reading : 0;
}

bool PaceWatchWalk() {
  uint64_t busy;
  if (gBusyClock == nullptr && !platform::ThreadProcessorTime(&busy)) {
    return false;  // no read can be seen to wait
  }
  gWaited = WaitedBlocks();
  gBlockDirectories = 0;
  gBlockStart = PaceNow();
  gBlockBusyStart = BusyNow();
  return true;
}

bool PaceNoteWalkRead() {
  if (++gBlockDirectories < kBlockDirectories) return false;
  gBlockDirectories = 0;
  uint64_t now = PaceNow();
  uint64_t busyNow = BusyNow();
  uint64_t wall = now - gBlockStart;
  uint64_t busy = busyNow - gBlockBusyStart;
  gBlockStart = now;
  gBlockBusyStart = busyNow;
  return NoteWalkBlock(&gWaited, wall, busy);
}

void SetReadAheadClocks(uint64_t (*wall)(), uint64_t (*busy)()) {
  gClock = wall;
  gBusyClock = busy;
}
