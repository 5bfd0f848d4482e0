// Pairs the records of one partition in memory: OLD's side is loaded and
// indexed by path, NEW's streams past it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dump/partitions.h"

// Takes the records a partition's pairing leaves over.
class Survivors {
 public:
  virtual ~Survivors() = default;
  // False on a fault.
  virtual bool Keep(DiffSide side, const DatabaseRecord& record,
                    uint64_t hash) = 0;
};

class PartitionJoin {
 public:
  // At most `bytes` of OLD's entries at a time, in the caller's memory.
  explicit PartitionJoin(size_t bytes) : bytes_(bytes) {}
  ~PartitionJoin();
  PartitionJoin(const PartitionJoin&) = delete;
  PartitionJoin& operator=(const PartitionJoin&) = delete;

  // Takes the memory for the index; OLD's entries go to `arena` (room for
  // `bytes`).  False when there is none.
  bool Start(char* arena);
  // Gives it back.
  void Release();
  // Pairs the copies of each path of `partition` in the order they came,
  // and passes on to `survivors` the records without a partner and both
  // records of each pair that differs, each side's in the order they came;
  // pairs that do not differ are done with.  A partition whose OLD side
  // does not fit is split into partitions of its own, a few levels deep,
  // and past those passed on whole.  False on a fault.
  bool Join(const PartitionFile& file, size_t partition, bool compareAccess,
            Survivors* survivors);
  // Partitions split, and passed on whole, so far.
  size_t Split() const { return split_; }
  size_t PassedOn() const { return passedOn_; }
  DiffFault Fault() const { return fault_; }

 private:
  size_t Home(uint64_t hash) const;
  size_t HomeAt(const char* entry) const {
    return Home(reinterpret_cast<const PendingEntry*>(entry)->hash);
  }
  PendingEntry* Find(const PendingEntry& entry);
  // Pairs one entry of NEW's.  False on a fault.
  bool Probe(const PendingEntry& entry, bool compareAccess,
             Survivors* survivors);
  // Hands each entry of a partition to `take`, OLD's side first, each side's
  // in the order it came.  False when `take` is, or on a fault.
  template <typename Take>
  bool EachEntry(const PartitionFile& file, size_t partition, Take take);
  bool PassOn(const PartitionFile& file, size_t partition,
              Survivors* survivors);
  bool SplitUp(const PartitionFile& file, size_t partition, bool compareAccess,
               Survivors* survivors);
  bool Failed(DiffFault fault) {
    fault_ = fault;
    return false;
  }

  size_t bytes_;
  char* arena_ = nullptr;
  // Each slot: the entry's offset + 1 in the low half (0: empty), the
  // hash's high half in the upper.
  uint64_t* slots_ = nullptr;
  size_t slotCount_ = 0;
  size_t mask_ = 0;
  size_t split_ = 0;
  size_t passedOn_ = 0;
  DiffFault fault_ = kDiffFine;
};
