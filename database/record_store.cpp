#include "database/record_store.h"

#include <ctime>

#include "database/record.h"
#include "support/memory.h"

RecordStore gStore;

namespace {

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

// Retires the current block to the list and starts a fresh one.  Both pieces
// are obtained before anything changes, so a failure leaves the store as it
// was.
bool RetireCurrentBlock() {
  auto* entry =
      static_cast<RecordBlock*>(memory::Allocate(sizeof(RecordBlock)));
  if (entry == nullptr) return false;
  uint8_t* fresh = TakeBlock();
  if (fresh == nullptr) {
    memory::Release(entry);
    return false;
  }
  *entry = {nullptr, gStore.current, gStore.fill};
  if (gStore.tail != nullptr) {
    gStore.tail->next = entry;
  } else {
    gStore.head = entry;
  }
  gStore.tail = entry;
  gStore.current = fresh;
  gStore.fill = 0;
  return true;
}

}  // namespace

bool RecordStoreOpen() {
  RecordStoreRelease();
  gStore.current = TakeBlock();
  if (gStore.current == nullptr) return false;
  gStore.localBiasSeconds = TakeLocalBias();
  return true;
}

uint32_t RecordStoreAppend(const char* directory, size_t directoryLength,
                           const char* name, size_t nameLength,
                           const platform::FindEntry& entry) {
  uint32_t size = record::Size(directoryLength, nameLength);
  // A record that ends on the block's last byte stays in the block.
  if (gStore.fill + size > kBlockSize && gStore.fill != 0) {
    if (!RetireCurrentBlock()) return 5;
  }
  record::Encode(directory, directoryLength, name, nameLength, entry,
                 gStore.localBiasSeconds, gStore.current + gStore.fill);
  gStore.fill += size;
  return 0;
}

void RecordStoreReleaseHead() {
  RecordBlock* entry = gStore.head;
  if (entry == nullptr) return;
  gStore.head = entry->next;
  if (gStore.head == nullptr) gStore.tail = nullptr;
  memory::Release(entry->block);
  memory::Release(entry);
}

void RecordStoreRelease() {
  memory::Release(gStore.current);
  gStore.current = nullptr;
  gStore.fill = 0;
  while (gStore.head != nullptr) RecordStoreReleaseHead();
}
