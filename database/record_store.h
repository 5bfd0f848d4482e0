// The records of one run, in blocks of 350000 bytes.  One store serves the
// run: the walk appends to it, the writer drains it, and the run's owner
// releases it.  At most a fixed budget of filled blocks stays in memory:
// past it the oldest goes to the spill sink (the database file as it grows)
// and its memory takes the next records, so that a run of any size walks
// in the same memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "database/write_sink.h"
#include "platform/platform.h"

constexpr uint32_t kBlockSize = 350000;
// Filled blocks held before the oldest goes to the disk: 1.4 MB, besides
// the block that takes new records.
constexpr uint32_t kSpillBudget = 4;

// Takes the first block and the run's local bias, releasing whatever an
// earlier run left.  False when the block cannot be obtained.
bool RecordStoreOpen();

// Appends the record of file `name` in `directory`.  Returns kResultWritten,
// or kResultNoMemory when a new block cannot be obtained; the store is then
// unchanged, so the records already in it stay whole.
uint32_t RecordStoreAppend(const char* directory, size_t directoryLength,
                           const char* name, size_t nameLength,
                           const platform::FindEntry& entry);

// Where filled blocks past the budget go, one write each, in the order they
// filled; null (the default, and after RecordStoreOpen) holds every block.
// A block the sink does not take whole stays in memory, as a store without
// a sink would hold it.  The sink is kept by address.
void RecordStoreSpillTo(const WriteSink* sink);

// For tests: the number of filled blocks held before the oldest spills (at
// least 1; kSpillBudget unless set).
void RecordStoreSetBudget(uint32_t blocks);

// Hands the blocks to `sink` in the order they filled, one write each (an
// empty last block too), releasing each block after its write so that the
// run's memory shrinks as the file grows.  Returns false at the first write
// that took fewer bytes; the blocks not yet written stay in the store.
bool RecordStoreDrain(const WriteSink& sink);

// Releases every block; the store is empty and closed afterwards.
void RecordStoreRelease();

// Releases the store when the scan run ends, whichever way it ends.
class RecordStoreOwner {
 public:
  RecordStoreOwner() = default;
  ~RecordStoreOwner() { RecordStoreRelease(); }
  RecordStoreOwner(const RecordStoreOwner&) = delete;
  RecordStoreOwner& operator=(const RecordStoreOwner&) = delete;
};
