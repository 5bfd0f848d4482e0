#include "dump/partition_join.h"

#include <cstring>
#include <initializer_list>

#include "support/memory.h"

namespace {

// The smallest entry: its fields alone.
constexpr size_t kLeastEntry = sizeof(PendingEntry);

// How far ahead of the entry paired its index slot, and then the entry in
// that slot, start to load: far enough for a load from memory to be done.
constexpr int kSlotsAhead = 8;
constexpr int kEntriesAhead = 4;

// Partitions split in partitions, at most: past that, their paths are too
// much alike to be split further by their hash.
constexpr unsigned kMostLevels = 3;

// The index takes an entry's slot from the bits of its hash from here up.
constexpr unsigned kHomeShift = 20;

size_t SizeAt(const char* at) {
  return PendingEntry::SizeOf(
      reinterpret_cast<const PendingEntry*>(at)->pathLength);
}

}  // namespace

PartitionJoin::~PartitionJoin() { Release(); }

void PartitionJoin::Release() {
  memory::Release(slots_);
  arena_ = nullptr;
  slots_ = nullptr;
}

bool PartitionJoin::Start(char* arena) {
  // At most half of the slots in use, however small the entries.
  slotCount_ = 16;
  while (slotCount_ < 2 * (bytes_ / kLeastEntry)) slotCount_ *= 2;
  arena_ = arena;
  slots_ =
      static_cast<uint64_t*>(memory::Allocate(slotCount_ * sizeof(uint64_t)));
  return slots_ != nullptr;
}

size_t PartitionJoin::Home(uint64_t hash) const {
  return static_cast<size_t>(hash >> kHomeShift) & mask_;
}

PendingEntry* PartitionJoin::Find(const PendingEntry& entry) {
  for (size_t slot = Home(entry.hash);; slot = (slot + 1) & mask_) {
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

template <typename Take>
bool PartitionJoin::EachEntry(const PartitionFile& file, size_t partition,
                              Take take) {
  for (DiffSide side : {kOldSide, kNewSide}) {
    PartitionFile::Reader reader(file, side, partition);
    while (const PendingEntry* entry = reader.Next()) {
      if (!take(side, *entry)) return false;
    }
    if (reader.Fault() != kDiffFine) return Failed(reader.Fault());
  }
  return true;
}

// OLD's side does not fit: every record of the partition goes on, each
// side's in the order it came, and the sorted merge after pairs them.
bool PartitionJoin::PassOn(const PartitionFile& file, size_t partition,
                           Survivors* survivors) {
  ++passedOn_;
  return EachEntry(file, partition,
                   [survivors](DiffSide side, const PendingEntry& entry) {
                     return survivors->Keep(side, entry.Record(), entry.hash);
                   });
}

bool PartitionJoin::Probe(const PendingEntry& entry, bool compareAccess,
                          Survivors* survivors) {
  PendingEntry* partner = Find(entry);
  if (partner == nullptr) {
    return survivors->Keep(kNewSide, entry.Record(), entry.hash);
  }
  partner->live = 0;
  return !RecordsDiffer(partner->Record(), entry.Record(), compareAccess) ||
         (survivors->Keep(kOldSide, partner->Record(), partner->hash) &&
          survivors->Keep(kNewSide, entry.Record(), entry.hash));
}

// OLD's side does not fit: the partition is spread over partitions of its
// own, written through the memory it would have been paired in, and each is
// paired in turn.
bool PartitionJoin::SplitUp(const PartitionFile& file, size_t partition,
                            bool compareAccess, Survivors* survivors) {
  PartitionFile parts(file.Partitions(), file.ChunkBytes(), file.Level() + 1);
  // Past a few levels, or where the bits that choose a part are those that
  // place an entry in the index, paths too alike are not split further.
  if (file.Level() + 1 > kMostLevels || parts.BitsUsed() > kHomeShift ||
      parts.BufferBytes() > bytes_) {
    return PassOn(file, partition, survivors);
  }
  ++split_;
  if (!parts.Start(arena_)) return Failed(parts.Fault());
  bool put =
      EachEntry(file, partition,
                [this, &parts](DiffSide side, const PendingEntry& entry) {
                  return parts.Put(side, entry.Record(), entry.hash) ||
                         Failed(parts.Fault());
                });
  if (!put) return false;
  if (!parts.Finish()) return Failed(parts.Fault());
  uint64_t whole = file.StreamBytes(kOldSide, partition);
  for (size_t part = 0; part < parts.Partitions(); ++part) {
    // A part as large as the whole was not split at all (copies of one
    // path): splitting it again would only copy it once more.
    bool joined = parts.StreamBytes(kOldSide, part) == whole
                      ? PassOn(parts, part, survivors)
                      : Join(parts, part, compareAccess, survivors);
    if (!joined) return false;
  }
  return true;
}

bool PartitionJoin::Join(const PartitionFile& file, size_t partition,
                         bool compareAccess, Survivors* survivors) {
  uint64_t oldBytes = file.StreamBytes(kOldSide, partition);
  uint64_t newBytes = file.StreamBytes(kNewSide, partition);
  if (oldBytes > bytes_) {
    return SplitUp(file, partition, compareAccess, survivors);
  }
  PartitionFile::Reader old(file, kOldSide, partition);
  if (!old.ReadAll(arena_)) return Failed(old.Fault());
  char* oldEnd = arena_ + oldBytes;
  size_t count = 0;
  for (const char* at = arena_; at < oldEnd; ++count) at += SizeAt(at);
  size_t slots = 16;
  while (slots < 2 * count) slots *= 2;
  mask_ = slots - 1;
  memset(slots_, 0, slots * sizeof(uint64_t));
  // In the order they came: the copies of a path are found earliest first.
  for (char* at = arena_; at < oldEnd; at += SizeAt(at)) {
    uint64_t hash = reinterpret_cast<const PendingEntry*>(at)->hash;
    size_t slot = Home(hash);
    while (slots_[slot] != 0) slot = (slot + 1) & mask_;
    slots_[slot] = (hash >> 32 << 32) | (uint64_t(at - arena_) + 1);
  }
  PartitionFile::Reader now(file, kNewSide, partition);
  if (newBytes <= bytes_ - oldBytes) {
    // NEW's side fits too: what the entries some way ahead will look at is
    // loaded while these are paired, their index slots first, then the
    // entries those slots hold.
    if (!now.ReadAll(oldEnd)) return Failed(now.Fault());
    const char* end = oldEnd + newBytes;
    const char* slotAhead = oldEnd;
    const char* entryAhead = oldEnd;
    for (int i = 0; i < kSlotsAhead && slotAhead < end; ++i) {
      __builtin_prefetch(slots_ + HomeAt(slotAhead));
      slotAhead += SizeAt(slotAhead);
      if (i < kEntriesAhead) entryAhead += SizeAt(entryAhead);
    }
    for (const char* at = oldEnd; at < end; at += SizeAt(at)) {
      if (slotAhead < end) {
        __builtin_prefetch(slots_ + HomeAt(slotAhead));
        slotAhead += SizeAt(slotAhead);
      }
      if (entryAhead < end) {
        uint64_t value = slots_[HomeAt(entryAhead)];
        if (value != 0) __builtin_prefetch(arena_ + uint32_t(value) - 1);
        entryAhead += SizeAt(entryAhead);
      }
      if (!Probe(*reinterpret_cast<const PendingEntry*>(at), compareAccess,
                 survivors)) {
        return false;
      }
    }
  } else {
    while (const PendingEntry* entry = now.Next()) {
      if (!Probe(*entry, compareAccess, survivors)) return false;
    }
    if (now.Fault() != kDiffFine) return Failed(now.Fault());
  }
  for (const char* at = arena_; at < oldEnd; at += SizeAt(at)) {
    const auto* entry = reinterpret_cast<const PendingEntry*>(at);
    if (entry->live &&
        !survivors->Keep(kOldSide, entry->Record(), entry->hash)) {
      return false;
    }
  }
  return true;
}
