// How fast the read-ahead goes: how many workers read at once, and, on one
// processor, when the workers that wait for the walk's reads to wait start.
// Plain functions over times and counts, with no threads, locks or clocks
// inside; database/read_ahead_pace.cpp keeps the run's values and clocks.
#pragma once

#include <cstdint>

// A read of a directory, its open and its reads, costs about as much as
// this many entries.
constexpr uint32_t kDirectoryAsEntries = 4;
// An entry read slower than this (nanoseconds) waited on the disk rather
// than on a processor: some 2 us an entry warm, 16 us cold.
constexpr uint32_t kSlowEntry = 6000;

// The mean time the last reads took an entry (nanoseconds), `mean` with a
// read of `entries` entries that took `nanos` folded in, weighing it 1/16.
// Per entry, as a warm directory of a few hundred names takes longer than a
// cold one of ten.  A read counts at most a few times kSlowEntry, so that
// one slow read (a page fault, a moment without a processor) cannot tip
// the mean alone.
uint32_t FoldReadTime(uint32_t mean, uint64_t nanos, uint32_t entries);

// How many workers may read at once on `processors` processors, the mean
// read of an entry taking `mean` nanoseconds, while the walk's thread waits
// for a worker's list (`walkWaiting`) or not.
unsigned ReadersAllowed(unsigned processors, uint32_t mean, bool walkWaiting);

// The walk's own reads, timed in blocks of this many directories: both
// clocks are read once a block, as the thread's processor time is a system
// call.
constexpr unsigned kBlockDirectories = 16;

// Which of the walk's last blocks waited off the processor.
struct WaitedBlocks {
  uint32_t bits = 0;   // one bit a block, the newest lowest
  unsigned count = 0;  // bits set
};

// Notes a block of the walk's reads that took `wall` nanoseconds, `busy` of
// them on the processor.  True when the workers waiting for slow reads are
// to start.
bool NoteWalkBlock(WaitedBlocks* blocks, uint64_t wall, uint64_t busy);
