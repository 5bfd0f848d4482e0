// The records of a comparison still waiting for their partner from the
// other database, in memory: a store of bounded size, with an index by path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "database/reader.h"

enum DiffSide : uint8_t { kOldSide = 0, kNewSide = 1 };

// A 64-bit hash of a path's bytes.
uint64_t HashPath(const char* path, size_t length);

// A waiting record: these fields, then the path's bytes.
struct PendingEntry {
  uint64_t hash;
  uint32_t pathLength;
  int32_t lastWrite;
  int32_t creation;
  int32_t lastAccess;
  uint32_t size;
  uint8_t side;
  // The entry is in the index: its partner may still come.  What is left
  // over at the end, kept only to be sorted, is not.
  uint8_t indexed;
  uint8_t live;
  uint8_t unused;

  // The bytes an entry with a path this long takes, a multiple of 8 so
  // that entries laid end to end stay aligned.
  static size_t SizeOf(uint32_t pathLength) {
    return (sizeof(PendingEntry) + pathLength + 7) & ~size_t{7};
  }
  const char* Path() const { return reinterpret_cast<const char*>(this + 1); }
  DatabaseRecord Record() const {
    return {Path(), pathLength, lastWrite, creation, lastAccess, size};
  }
};

// Whether two records of one path differ: in size, last-write or creation
// time, and with `compareAccess` in last-access time.
inline bool RecordsDiffer(const DatabaseRecord& old, const DatabaseRecord& now,
                          bool compareAccess) {
  return old.size != now.size || old.lastWrite != now.lastWrite ||
         old.creation != now.creation ||
         (compareAccess && old.lastAccess != now.lastAccess);
}

class PendingStore {
 public:
  // The store's memory by default: records, and the index's slots (8 bytes
  // each, at most half of them used).
  static constexpr size_t kBytes = 8 << 20;
  static constexpr size_t kSlots = 1 << 18;

  // `bytes` for records and `slots` (a power of two) in the index; tests
  // take less.
  explicit PendingStore(size_t bytes = kBytes, size_t slots = kSlots)
      : bytesSize_(bytes), slotCount_(slots) {}
  ~PendingStore();
  PendingStore(const PendingStore&) = delete;
  PendingStore& operator=(const PendingStore&) = delete;

  // Takes the memory; false when there is none.
  bool Start();
  // False when no indexed entry has `path`: a look at a bit, without the
  // path's hash or a look at the index.
  bool MayWait(const char* path, uint32_t length) const {
    size_t bit = QuickKey(path, length) >> mayWaitShift_;
    return (mayWait_[bit / 64] >> (bit % 64) & 1) != 0;
  }
  // Starts loading the MayWait bit and the index slot Find will look at.
  void Prefetch(const char* path, uint32_t length, uint64_t hash) const {
    size_t bit = QuickKey(path, length) >> mayWaitShift_;
    __builtin_prefetch(mayWait_ + bit / 64);
    __builtin_prefetch(slots_ + Home(hash));
  }
  // The first indexed entry for `path` that is still waiting (on either
  // side), or null.
  PendingEntry* Find(uint64_t hash, const char* path, uint32_t length);
  // Takes `entry` (from Find) out: its partner came.
  void Remove(PendingEntry* entry);
  // Keeps a copy of `record`; false when the store is full.
  bool Add(DiffSide side, const DatabaseRecord& record, uint64_t hash,
           bool indexed);
  // Makes room by dropping the entries taken out, when they are at least
  // half of the store; false when that would not free enough.
  bool Compact();
  // The most entries the store holds.
  size_t MostEntries() const { return slotCount_ / 2; }
  // The offsets of the waiting entries of `side`, in the order they came, to
  // `offsets` (room for MostEntries()); returns how many.
  size_t Collect(DiffSide side, uint32_t* offsets) const;
  const PendingEntry* At(uint32_t offset) const {
    return reinterpret_cast<const PendingEntry*>(bytes_ + offset);
  }
  // Calls `visit` with each waiting entry, in the order they came, until it
  // returns false; false then.
  template <typename Visit>
  bool EachWaiting(Visit visit) const {
    for (size_t at = 0; at < used_;) {
      const PendingEntry* entry = At(static_cast<uint32_t>(at));
      if (entry->live && !visit(*entry)) return false;
      at += PendingEntry::SizeOf(entry->pathLength);
    }
    return true;
  }
  // Drops every entry.
  void Clear();
  // Gives the memory back (Start takes it again).
  void Release();
  // Empties the store, keeping its memory, as Start leaves it.
  void Reset();
  size_t Waiting() const { return liveEntries_; }

 private:
  static constexpr size_t kMayWaitBits = 1 << 20;
  // A key for MayWait from a few words of the path: its last 16 bytes, in
  // which the files of a directory differ, 8 from its middle, in which the
  // directories of a tree differ, and its length.
  // The bits in use: 16 a slot in use, so that where few records wait the
  // bits stay in the nearest cache.
  size_t MayWaitBits() const {
    return activeSlots_ * 16 < kMayWaitBits ? activeSlots_ * 16 : kMayWaitBits;
  }
  static size_t QuickKey(const char* path, uint32_t length) {
    uint64_t words[3] = {0, 0, 0};
    if (length >= 16) {
      memcpy(words, path + length - 16, 16);
      memcpy(words + 2, path + (length - 8) / 2, 8);
    } else {
      memcpy(words, path, length);
    }
    uint64_t key = (words[0] ^ length) * 0x9E3779B97F4A7C15ull;
    key ^= (words[1] ^ (key >> 31)) * 0xBF58476D1CE4E5B9ull;
    key ^= (words[2] ^ (key >> 29)) * 0x94D049BB133111EBull;
    return static_cast<size_t>(key >> (64 - 20));
  }
  size_t Home(uint64_t hash) const {
    return static_cast<size_t>(hash >> 20) & (activeSlots_ - 1);
  }
  void Index(uint32_t offset, uint64_t hash);
  void RemoveSlot(size_t slot);
  void Reindex();
  // Drops the entries taken out, keeping the order of the others.
  void Squeeze();
  // Doubles the slots in use when half of them hold entries.
  void Grow();
  // Sizes the MayWait bits to the slots in use, and clears them.
  void SizeMayWait();

  size_t bytesSize_;
  size_t slotCount_;
  // The index starts small and doubles as entries come, up to slotCount_:
  // where the orders agree, few records wait, and a large table would cost
  // a page fault a few of them.
  size_t activeSlots_ = 0;
  size_t indexed_ = 0;
  uint8_t* bytes_ = nullptr;
  // Each slot: the entry's offset + 1 in the low half (0: empty), the
  // hash's high half in the upper.
  uint64_t* slots_ = nullptr;
  // A bit a path hash of the indexed entries (some since taken out): most
  // paths that wait for nothing are told so without a look at the index.
  uint64_t* mayWait_ = nullptr;
  // QuickKey gives kMayWaitBits bits; shifted by this, MayWaitBits().
  unsigned mayWaitShift_ = 0;
  // The bytes the store holds, dead entries included.
  size_t used_ = 0;
  size_t liveBytes_ = 0;
  size_t liveEntries_ = 0;
  // The store fills as if only Compact dropped dead entries: where the
  // orders agree, Add drops them sooner, once they are half of the bytes
  // used, so that the records touch little memory (a page fault a few dozen
  // of them), while the store still spills after the same records.
  size_t countedBytes_ = 0;
  size_t counted_ = 0;
  // The bytes Add uses before it drops dead entries or doubles this.
  size_t touched_ = 0;
};
