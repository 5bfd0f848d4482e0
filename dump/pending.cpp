#include "dump/pending.h"

#include <cstring>

#include "platform/platform.h"
#include "support/memory.h"

namespace {

constexpr size_t kFirstSlots = 1 << 12;
constexpr size_t kFirstBytes = 1 << 18;

uint64_t Mix(uint64_t value) {
  value ^= value >> 32;
  value *= 0xD6E8FEB86659FD93ull;
  value ^= value >> 32;
  return value;
}

}  // namespace

uint64_t HashPath(const char* path, size_t length) {
  uint64_t hash = 0x9E3779B97F4A7C15ull ^ length;
  const char* end = path + length;
  while (end - path > 8) {
    uint64_t word;
    memcpy(&word, path, 8);
    hash = (hash ^ word) * 0xFF51AFD7ED558CCDull;
    hash ^= hash >> 29;
    path += 8;
  }
  // The last 1 to 8 bytes, read whole words at a time: bytes put together
  // one by one would be read back before the processor had stored them.
  uint64_t last = 0;
  if (length >= 8) {
    memcpy(&last, end - 8, 8);
  } else if (length >= 4) {
    uint32_t head;
    uint32_t tail;
    memcpy(&head, path, 4);
    memcpy(&tail, end - 4, 4);
    last = uint64_t{head} << 32 | tail;
  } else if (length > 0) {
    last = static_cast<uint8_t>(path[0]) |
           static_cast<uint64_t>(static_cast<uint8_t>(path[length / 2])) << 8 |
           static_cast<uint64_t>(static_cast<uint8_t>(end[-1])) << 16;
  }
  return Mix((hash ^ last) * 0xC4CEB9FE1A85EC53ull);
}

PendingStore::~PendingStore() { Release(); }

bool PendingStore::Start() {
  bytes_ = static_cast<uint8_t*>(memory::Allocate(bytesSize_));
  slots_ =
      static_cast<uint64_t*>(memory::Allocate(slotCount_ * sizeof(uint64_t)));
  mayWait_ = static_cast<uint64_t*>(memory::Allocate(kMayWaitBits / 8));
  if (bytes_ == nullptr || slots_ == nullptr || mayWait_ == nullptr) {
    Release();
    return false;
  }
  // Where the orders differ, both fill up at once.
  platform::PreferLargePages(bytes_, bytesSize_);
  platform::PreferLargePages(slots_, slotCount_ * sizeof(uint64_t));
  Reset();
  return true;
}

void PendingStore::Reset() {
  // Once grown, the index stays so until then: a store emptied fills again.
  activeSlots_ = kFirstSlots < slotCount_ ? kFirstSlots : slotCount_;
  touched_ = kFirstBytes < bytesSize_ ? kFirstBytes : bytesSize_;
  Clear();
}

void PendingStore::Release() {
  memory::Release(bytes_);
  memory::Release(slots_);
  memory::Release(mayWait_);
  bytes_ = nullptr;
  slots_ = nullptr;
  mayWait_ = nullptr;
}

void PendingStore::Clear() {
  memset(slots_, 0, activeSlots_ * sizeof(uint64_t));
  SizeMayWait();
  used_ = countedBytes_ = liveBytes_ = liveEntries_ = counted_ = indexed_ = 0;
}

PendingEntry* PendingStore::Find(uint64_t hash, const char* path,
                                 uint32_t length) {
  if (!MayWait(path, length)) return nullptr;
  for (size_t slot = Home(hash);; slot = (slot + 1) & (activeSlots_ - 1)) {
    uint64_t value = slots_[slot];
    if (value == 0) return nullptr;
    if (value >> 32 != hash >> 32) continue;
    auto* entry = reinterpret_cast<PendingEntry*>(
        bytes_ + static_cast<uint32_t>(value) - 1);
    if (entry->pathLength == length &&
        memcmp(entry->Path(), path, length) == 0) {
      return entry;
    }
  }
}

void PendingStore::Index(uint32_t offset, uint64_t hash) {
  size_t slot = Home(hash);
  while (slots_[slot] != 0) slot = (slot + 1) & (activeSlots_ - 1);
  slots_[slot] = (hash >> 32 << 32) | (uint64_t{offset} + 1);
  ++indexed_;
  const PendingEntry* entry = At(offset);
  size_t bit = QuickKey(entry->Path(), entry->pathLength) >> mayWaitShift_;
  mayWait_[bit / 64] |= uint64_t{1} << (bit % 64);
}

// Linear probing without tombstones: the entries after the emptied slot
// move back towards their home, so that every entry stays reachable, and
// copies of one path keep their order.
void PendingStore::RemoveSlot(size_t slot) {
  size_t next = slot;
  for (;;) {
    slots_[slot] = 0;
    for (;;) {
      next = (next + 1) & (activeSlots_ - 1);
      if (slots_[next] == 0) return;
      const PendingEntry* entry = At(static_cast<uint32_t>(slots_[next]) - 1);
      size_t home = Home(entry->hash);
      bool stays = slot <= next ? slot < home && home <= next
                                : slot < home || home <= next;
      if (!stays) break;
    }
    slots_[slot] = slots_[next];
    slot = next;
  }
}

void PendingStore::Remove(PendingEntry* entry) {
  auto offset =
      static_cast<uint32_t>(reinterpret_cast<uint8_t*>(entry) - bytes_);
  if (entry->indexed) {
    size_t slot = Home(entry->hash);
    while (static_cast<uint32_t>(slots_[slot]) != offset + 1) {
      slot = (slot + 1) & (activeSlots_ - 1);
    }
    RemoveSlot(slot);
    --indexed_;
  }
  entry->live = 0;
  liveBytes_ -= PendingEntry::SizeOf(entry->pathLength);
  --liveEntries_;
}

bool PendingStore::Add(DiffSide side, const DatabaseRecord& record,
                       uint64_t hash, bool indexed) {
  size_t size = PendingEntry::SizeOf(record.pathLength);
  if (counted_ == MostEntries() || bytesSize_ - countedBytes_ < size) {
    return false;
  }
  if (touched_ - used_ < size && 2 * liveBytes_ <= used_) Squeeze();
  // Ends: the bytes used are at most those counted.
  while (touched_ - used_ < size) {
    touched_ = 2 * touched_ < bytesSize_ ? 2 * touched_ : bytesSize_;
  }
  if (indexed && 2 * (indexed_ + 1) > activeSlots_) Grow();
  auto* entry = reinterpret_cast<PendingEntry*>(bytes_ + used_);
  *entry = {hash,
            record.pathLength,
            record.lastWrite,
            record.creation,
            record.lastAccess,
            record.size,
            side,
            static_cast<uint8_t>(indexed),
            1,
            0};
  memcpy(bytes_ + used_ + sizeof(PendingEntry), record.path, record.pathLength);
  if (indexed) Index(static_cast<uint32_t>(used_), hash);
  used_ += size;
  countedBytes_ += size;
  liveBytes_ += size;
  ++liveEntries_;
  ++counted_;
  return true;
}

bool PendingStore::Compact() {
  if (liveBytes_ > bytesSize_ / 2 || liveEntries_ > MostEntries() / 2) {
    return false;
  }
  Squeeze();
  countedBytes_ = used_;
  counted_ = liveEntries_;
  return true;
}

void PendingStore::Squeeze() {
  size_t to = 0;
  for (size_t from = 0; from < used_;) {
    const auto* entry = reinterpret_cast<const PendingEntry*>(bytes_ + from);
    size_t size = PendingEntry::SizeOf(entry->pathLength);
    if (entry->live) {
      memmove(bytes_ + to, bytes_ + from, size);
      to += size;
    }
    from += size;
  }
  used_ = to;
  Reindex();
}

void PendingStore::SizeMayWait() {
  mayWaitShift_ = 0;
  while ((kMayWaitBits >> mayWaitShift_) > MayWaitBits()) ++mayWaitShift_;
  memset(mayWait_, 0, MayWaitBits() / 8);
}

void PendingStore::Grow() {
  if (activeSlots_ == slotCount_) return;
  activeSlots_ *= 2;
  Reindex();
}

void PendingStore::Reindex() {
  indexed_ = 0;
  memset(slots_, 0, activeSlots_ * sizeof(uint64_t));
  SizeMayWait();
  for (size_t at = 0; at < used_;) {
    const PendingEntry* entry = At(static_cast<uint32_t>(at));
    if (entry->live && entry->indexed) {
      Index(static_cast<uint32_t>(at), entry->hash);
    }
    at += PendingEntry::SizeOf(entry->pathLength);
  }
}

size_t PendingStore::Collect(DiffSide side, uint32_t* offsets) const {
  size_t count = 0;
  for (size_t at = 0; at < used_;) {
    const PendingEntry* entry = At(static_cast<uint32_t>(at));
    if (entry->live && entry->side == side) {
      offsets[count++] = static_cast<uint32_t>(at);
    }
    at += PendingEntry::SizeOf(entry->pathLength);
  }
  return count;
}
