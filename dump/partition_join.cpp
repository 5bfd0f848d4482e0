#include "dump/partition_join.h"

#include <cstring>
#include <initializer_list>

#include "support/memory.h"

namespace {

// The smallest entry: its fields alone.
constexpr size_t kLeastEntry = sizeof(PendingEntry);

}  // namespace

PartitionJoin::~PartitionJoin() { Release(); }

void PartitionJoin::Release() {
  memory::Release(arena_);
  memory::Release(slots_);
  arena_ = nullptr;
  slots_ = nullptr;
}

bool PartitionJoin::Start() {
  // At most half of the slots in use, however small the entries.
  slotCount_ = 16;
  while (slotCount_ < 2 * (bytes_ / kLeastEntry)) slotCount_ *= 2;
  arena_ = static_cast<char*>(memory::Allocate(bytes_));
  slots_ =
      static_cast<uint64_t*>(memory::Allocate(slotCount_ * sizeof(uint64_t)));
  return arena_ != nullptr && slots_ != nullptr;
}

PendingEntry* PartitionJoin::Find(const PendingEntry& entry) {
  for (size_t slot = (entry.hash >> 20) & mask_;; slot = (slot + 1) & mask_) {
    uint64_t value = slots_[slot];
    if (value == 0) return nullptr;
    if (value >> 32 != entry.hash >> 32) continue;
    auto* old = reinterpret_cast<PendingEntry*>(
        arena_ + static_cast<uint32_t>(value) - 1);
    // Of a path's copies, the earliest not yet paired.
    if (old->live && old->pathLength == entry.pathLength &&
        memcmp(old->Path(), entry.Path(), entry.pathLength) == 0) {
      return old;
    }
  }
}

// OLD's side does not fit: every record of the partition goes on, in the
// order it came (what was loaded, then `next`, then the rest), and the
// sorted merge after pairs them.
bool PartitionJoin::PassOn(PartitionFile::Reader* old,
                           const PartitionFile& file, size_t partition,
                           size_t used, const PendingEntry& next,
                           Survivors* survivors) {
  ++overflowed_;
  for (size_t at = 0; at < used;) {
    const auto* entry = reinterpret_cast<const PendingEntry*>(arena_ + at);
    if (!survivors->Keep(kOldSide, entry->Record(), entry->hash)) return false;
    at += PendingEntry::SizeOf(entry->pathLength);
  }
  if (!survivors->Keep(kOldSide, next.Record(), next.hash)) return false;
  PartitionFile::Reader now(file, kNewSide, partition);
  for (PartitionFile::Reader* reader : {old, &now}) {
    DiffSide side = reader == old ? kOldSide : kNewSide;
    while (const PendingEntry* entry = reader->Next()) {
      if (!survivors->Keep(side, entry->Record(), entry->hash)) return false;
    }
    if (reader->Fault() != kDiffFine) return Failed(reader->Fault());
  }
  return true;
}

bool PartitionJoin::Join(const PartitionFile& file, size_t partition,
                         bool compareAccess, Survivors* survivors) {
  PartitionFile::Reader old(file, kOldSide, partition);
  size_t used = 0;
  size_t count = 0;
  while (const PendingEntry* entry = old.Next()) {
    size_t size = PendingEntry::SizeOf(entry->pathLength);
    if (bytes_ - used < size) {
      return PassOn(&old, file, partition, used, *entry, survivors);
    }
    memcpy(arena_ + used, entry, size);
    used += size;
    ++count;
  }
  if (old.Fault() != kDiffFine) return Failed(old.Fault());
  size_t slots = 16;
  while (slots < 2 * count) slots *= 2;
  mask_ = slots - 1;
  memset(slots_, 0, slots * sizeof(uint64_t));
  // In the order they came: the copies of a path are found earliest first.
  for (size_t at = 0; at < used;) {
    auto* entry = reinterpret_cast<PendingEntry*>(arena_ + at);
    entry->live = 1;
    size_t slot = (entry->hash >> 20) & mask_;
    while (slots_[slot] != 0) slot = (slot + 1) & mask_;
    slots_[slot] = (entry->hash >> 32 << 32) | (uint64_t{at} + 1);
    at += PendingEntry::SizeOf(entry->pathLength);
  }
  PartitionFile::Reader now(file, kNewSide, partition);
  while (const PendingEntry* entry = now.Next()) {
    PendingEntry* partner = Find(*entry);
    if (partner == nullptr) {
      if (!survivors->Keep(kNewSide, entry->Record(), entry->hash)) {
        return false;
      }
      continue;
    }
    partner->live = 0;
    if (RecordsDiffer(partner->Record(), entry->Record(), compareAccess) &&
        (!survivors->Keep(kOldSide, partner->Record(), partner->hash) ||
         !survivors->Keep(kNewSide, entry->Record(), entry->hash))) {
      return false;
    }
  }
  if (now.Fault() != kDiffFine) return Failed(now.Fault());
  for (size_t at = 0; at < used;) {
    const auto* entry = reinterpret_cast<const PendingEntry*>(arena_ + at);
    if (entry->live &&
        !survivors->Keep(kOldSide, entry->Record(), entry->hash)) {
      return false;
    }
    at += PendingEntry::SizeOf(entry->pathLength);
  }
  return true;
}
