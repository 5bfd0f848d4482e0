#include "database/record_store.h"

#include <ctime>

#include "database/record.h"
#include "database/result.h"
#include "support/memory.h"

namespace {

// A filled block, retired to the list.
struct FilledBlock {
  FilledBlock* next;
  uint8_t* bytes;
  uint32_t used;
};

uint8_t* gCurrent = nullptr;   // receives new records
uint32_t gFill = 0;            // bytes used in gCurrent
FilledBlock* gHead = nullptr;  // filled blocks, oldest first
FilledBlock* gTail = nullptr;
uint32_t gFilled = 0;  // blocks in the list
uint32_t gBudget = kSpillBudget;
const WriteSink* gSpill = nullptr;
// Seconds the local conversion adds to UTC, taken once when the store
// opens: Win32 applies the bias in effect now to every file time.
int64_t gLocalBiasSeconds = 0;

int64_t TakeLocalBias() {
  platform::FileTime utc =
      record::BiasProbe(static_cast<int64_t>(time(nullptr)));
  platform::FileTime local;
  if (!platform::FileTimeToLocal(utc, &local)) return 0;
  return record::LocalBiasSeconds(utc, local);
}

uint8_t* TakeBlock() {
  return static_cast<uint8_t*>(memory::Allocate(kBlockSize));
}

// Past the budget the oldest block goes to the spill sink, and its memory
// and list entry come back for the block being retired: a run that spills
// takes no memory for its records after the first few blocks.  False when
// the sink does not take the block, which then stays where it was.
bool SpillHead(FilledBlock** entry, uint8_t** bytes) {
  if (gSpill == nullptr || gFilled < gBudget || gHead == nullptr) return false;
  if (!WriteAll(*gSpill, gHead->bytes, gHead->used)) return false;
  *entry = gHead;
  *bytes = gHead->bytes;
  gHead = gHead->next;
  if (gHead == nullptr) gTail = nullptr;
  --gFilled;
  return true;
}

// Retires the current block to the list and starts a fresh one.  Both pieces
// are obtained before anything changes, so a failure leaves the store as it
// was.
bool RetireCurrentBlock() {
  FilledBlock* entry;
  uint8_t* fresh;
  if (!SpillHead(&entry, &fresh)) {
    entry = static_cast<FilledBlock*>(memory::Allocate(sizeof(FilledBlock)));
    if (entry == nullptr) return false;
    fresh = TakeBlock();
    if (fresh == nullptr) {
      memory::Release(entry);
      return false;
    }
  }
  *entry = {nullptr, gCurrent, gFill};
  if (gTail != nullptr) {
    gTail->next = entry;
  } else {
    gHead = entry;
  }
  gTail = entry;
  ++gFilled;
  gCurrent = fresh;
  gFill = 0;
  return true;
}

void ReleaseHead() {
  FilledBlock* entry = gHead;
  gHead = entry->next;
  if (gHead == nullptr) gTail = nullptr;
  --gFilled;
  memory::Release(entry->bytes);
  memory::Release(entry);
}

}  // namespace

bool RecordStoreOpen() {
  RecordStoreRelease();
  gCurrent = TakeBlock();
  if (gCurrent == nullptr) return false;
  gLocalBiasSeconds = TakeLocalBias();
  return true;
}

uint32_t RecordStoreAppend(const char* directory, size_t directoryLength,
                           const char* name, size_t nameLength,
                           const platform::FindEntry& entry) {
  uint32_t size = record::Size(directoryLength, nameLength);
  // A record that ends on the block's last byte stays in the block.
  if (gFill + size > kBlockSize && gFill != 0) {
    if (!RetireCurrentBlock()) return kResultNoMemory;
  }
  record::Encode(directory, directoryLength, name, nameLength, entry,
                 gLocalBiasSeconds, gCurrent + gFill);
  gFill += size;
  return kResultWritten;
}

void RecordStoreSpillTo(const WriteSink* sink) { gSpill = sink; }

void RecordStoreSetBudget(uint32_t blocks) {
  gBudget = blocks > 0 ? blocks : 1;
}

bool RecordStoreDrain(const WriteSink& sink) {
  while (gHead != nullptr) {
    if (!WriteAll(sink, gHead->bytes, gHead->used)) return false;
    ReleaseHead();
  }
  if (gCurrent == nullptr) return true;
  if (!WriteAll(sink, gCurrent, gFill)) return false;
  memory::Release(gCurrent);
  gCurrent = nullptr;
  gFill = 0;
  return true;
}

void RecordStoreRelease() {
  gSpill = nullptr;
  memory::Release(gCurrent);
  gCurrent = nullptr;
  gFill = 0;
  while (gHead != nullptr) ReleaseHead();
}
