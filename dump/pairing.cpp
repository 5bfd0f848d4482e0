#include "dump/pairing.h"

#include <cstring>

#include "platform/platform.h"
#include "support/memory.h"

namespace {

// Two bits a path hash, one a side, for the paths put in partitions.  A
// path's two bits stand side by side, so that the look at the other side's
// bit and the setting of its own touch one word.
constexpr size_t kPartitionedPaths = size_t{1} << 21;

size_t PathSlot(uint64_t hash) {
  return static_cast<size_t>(hash >> 40) & (kPartitionedPaths - 1);
}

}  // namespace

RecordPairing::~RecordPairing() {
  memory::Release(work_);
  memory::Release(partitionedPaths_);
}

bool RecordPairing::Start() {
  if (!store_.Start()) return Failed(kDiffNoMemory);
  if (!leftovers_.Start()) return Failed(leftovers_.Fault());
  return true;
}

bool RecordPairing::TryPair(DiffSide side, const DatabaseRecord& record,
                            uint64_t hash) {
  PendingEntry* waiting = store_.Find(hash, record.path, record.pathLength);
  // Copies of a path wait on one side only: the first is the earliest.
  if (waiting == nullptr || waiting->side == side) return false;
  if (side == kNewSide) {
    ComparePair(sink_, waiting->Record(), record, compareAccess_);
  } else {
    ComparePair(sink_, record, waiting->Record(), compareAccess_);
  }
  store_.Remove(waiting);
  return true;
}

bool RecordPairing::Wait(DiffSide side, const DatabaseRecord& record,
                         uint64_t hash) {
  if (store_.Add(side, record, hash, true)) return true;
  if (store_.Compact() && store_.Add(side, record, hash, true)) return true;
  // So many wait that the orders differ.
  return Partition() && ToPartition(side, record, hash);
}

bool RecordPairing::AddHashed(DiffSide side, const DatabaseRecord& record,
                              uint64_t hash) {
  if (partitioned_) return ToPartition(side, record, hash);
  return TryPair(side, record, hash) || Wait(side, record, hash);
}

void RecordPairing::Expect(NextRecord* next) {
  if (!partitioned_) return;
  __builtin_prefetch(partitionedPaths_ + PathSlot(next->Hash()) / 32);
}

bool RecordPairing::AddBoth(NextRecord* oldNext, NextRecord* newNext) {
  const DatabaseRecord& old = oldNext->record;
  const DatabaseRecord& now = newNext->record;
  if (!partitioned_) {
    // Most paths wait for nothing, which one bit tells without the hash.
    if (store_.Waiting() == 0 || !store_.MayWait(old.path, old.pathLength)) {
      ComparePair(sink_, old, now, compareAccess_);
      return true;
    }
    uint64_t hash = oldNext->Hash();
    if (store_.Find(hash, old.path, old.pathLength) == nullptr) {
      ComparePair(sink_, old, now, compareAccess_);
      return true;
    }
    return AddHashed(kOldSide, old, hash) && AddHashed(kNewSide, now, hash);
  }
  uint64_t hash = oldNext->Hash();
  if (!PathPartitioned(kOldSide, hash) && !PathPartitioned(kNewSide, hash)) {
    ComparePair(sink_, old, now, compareAccess_);
    return true;
  }
  return ToPartition(kOldSide, old, hash) && ToPartition(kNewSide, now, hash);
}

bool RecordPairing::AddApart(NextRecord* oldNext, NextRecord* newNext,
                             bool* tookOld, bool* tookNew) {
  const DatabaseRecord& old = oldNext->record;
  const DatabaseRecord& now = newNext->record;
  uint64_t oldHash = oldNext->Hash();
  uint64_t newHash = newNext->Hash();
  *tookOld = *tookNew = true;
  if (!partitioned_) {
    // Where the orders differ, what each side's record looks at is a cache
    // miss: the two are waited for together.
    store_.Prefetch(old.path, old.pathLength, oldHash);
    store_.Prefetch(now.path, now.pathLength, newHash);
    if (TryPair(kOldSide, old, oldHash)) {
      *tookNew = false;
      return true;
    }
    if (TryPair(kNewSide, now, newHash)) {
      *tookOld = false;
      return true;
    }
    // The two paths differ: neither pairs with the other.
    return Wait(kOldSide, old, oldHash) &&
           (partitioned_ ? ToPartition(kNewSide, now, newHash)
                         : Wait(kNewSide, now, newHash));
  }
  // Their bits' words started to load as they were read (Expect).
  if (PathPartitioned(kNewSide, oldHash)) {
    *tookNew = false;
    return ToPartition(kOldSide, old, oldHash);
  }
  if (PathPartitioned(kOldSide, newHash)) {
    *tookOld = false;
    return ToPartition(kNewSide, now, newHash);
  }
  return ToPartition(kOldSide, old, oldHash) &&
         ToPartition(kNewSide, now, newHash);
}

bool RecordPairing::PathPartitioned(DiffSide side, uint64_t hash) const {
  size_t slot = PathSlot(hash);
  return (partitionedPaths_[slot / 32] >> (slot % 32 * 2 + side) & 1) != 0;
}

bool RecordPairing::ToPartition(DiffSide side, const DatabaseRecord& record,
                                uint64_t hash) {
  size_t slot = PathSlot(hash);
  partitionedPaths_[slot / 32] |= uint64_t{1} << (slot % 32 * 2 + side);
  if (!partitions_.Put(side, record, hash)) return Failed(partitions_.Fault());
  return true;
}

bool RecordPairing::Partition() {
  partitionedPaths_ =
      static_cast<uint64_t*>(memory::Allocate(kPartitionedPaths / 4));
  if (partitionedPaths_ == nullptr) return Failed(kDiffNoMemory);
  memset(partitionedPaths_, 0, kPartitionedPaths / 4);
  // The partitions' buffers, and at the end the memory each is paired in.
  size_t workBytes = partitions_.BufferBytes() > memory_.joinBytes
                         ? partitions_.BufferBytes()
                         : memory_.joinBytes;
  work_ = static_cast<char*>(memory::Allocate(workBytes));
  if (work_ == nullptr) return Failed(kDiffNoMemory);
  platform::PreferLargePages(work_, workBytes);
  if (!partitions_.Start(work_)) return Failed(partitions_.Fault());
  partitioned_ = true;
  // What waits goes first, each side's in the order it came.
  return store_.EachWaiting([this](const PendingEntry& entry) {
    return ToPartition(static_cast<DiffSide>(entry.side), entry.Record(),
                       entry.hash);
  });
}

bool RecordPairing::Keep(DiffSide side, const DatabaseRecord& record,
                         uint64_t hash) {
  if (leftovers_.Keep(side, record, hash)) return true;
  return Failed(leftovers_.Fault());
}

bool RecordPairing::JoinPartitions() {
  if (!partitions_.Finish()) return Failed(partitions_.Fault());
  memory::Release(partitionedPaths_);
  partitionedPaths_ = nullptr;
  // The store takes what is left over, to be sorted.
  store_.Reset();
  if (!join_.Start(work_)) return Failed(kDiffNoMemory);
  for (size_t partition = 0; partition < partitions_.Partitions();
       ++partition) {
    if (!join_.Join(partitions_, partition, compareAccess_, this)) {
      return fault_ != kDiffFine ? false : Failed(join_.Fault());
    }
  }
  join_.Release();
  memory::Release(work_);
  work_ = nullptr;
  // Its disk space goes before what is left over is merged.
  partitions_.Close();
  return true;
}

bool RecordPairing::Finish() {
  if (partitioned_ && !JoinPartitions()) return false;
  if (leftovers_.Finish()) return true;
  return Failed(leftovers_.Fault());
}
