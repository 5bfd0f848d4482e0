// The records of one run, held in memory in blocks of 350000 bytes until the
// writer copies them into the database file.  One store serves the run: the
// walk appends to it, the writer drains it, and the run's owner releases it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "database/write_sink.h"
#include "platform/platform.h"

constexpr uint32_t kBlockSize = 350000;

// Takes the first block and the run's local bias, releasing whatever an
// earlier run left.  False when the block cannot be obtained.
bool RecordStoreOpen();

// Appends the record of file `name` in `directory`.  Returns kResultWritten,
// or kResultNoMemory when a new block cannot be obtained; the store is then
// unchanged, so the records already in it stay whole.
uint32_t RecordStoreAppend(const char* directory, size_t directoryLength,
                           const char* name, size_t nameLength,
                           const platform::FindEntry& entry);

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
