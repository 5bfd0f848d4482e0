// The records of one run, held in memory in blocks of 350000 bytes until the
// writer copies them into the database file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

constexpr uint32_t kBlockSize = 350000;

// A filled block, retired to the full-block list.
struct RecordBlock {
  RecordBlock* next;
  uint8_t* block;
  uint32_t used;
};

struct RecordStore {
  uint8_t* current = nullptr;  // receives new records
  uint32_t fill = 0;           // bytes used in `current`
  RecordBlock* head = nullptr;  // filled blocks, oldest first
  RecordBlock* tail = nullptr;
  // Seconds the local conversion adds to UTC, taken once when the store
  // opens: Win32 applies the bias in effect now to every file time.
  int64_t localBiasSeconds = 0;
};

// Program-wide: one store serves the run, the walk and the writer in turn.
extern RecordStore gStore;

// Takes the first block and the run's local bias.  False when the block
// cannot be obtained.
bool RecordStoreOpen();

// Appends the record of file `name` in `directory`.  Returns 0, or 5 when a
// new block or list entry cannot be obtained; the store is then unchanged,
// so the records already in it stay whole.
uint32_t RecordStoreAppend(const char* directory, size_t directoryLength,
                           const char* name, size_t nameLength,
                           const platform::FindEntry& entry);

// Releases the oldest filled block and its list entry.
void RecordStoreReleaseHead();

// Releases every block and list entry; the store is empty afterwards.
void RecordStoreRelease();

// Releases the store when the scan run ends, whichever way it ends.
class RecordStoreOwner {
 public:
  RecordStoreOwner() = default;
  ~RecordStoreOwner() { RecordStoreRelease(); }
  RecordStoreOwner(const RecordStoreOwner&) = delete;
  RecordStoreOwner& operator=(const RecordStoreOwner&) = delete;
};
