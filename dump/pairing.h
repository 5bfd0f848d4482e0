// Pairs the records of two databases by path, byte for byte, whatever
// their order, in bounded memory: a record waits in memory for its partner
// from the other database, and when too many wait, they go to sorted runs
// on disk, merged by path at the end.  Where the two orders agree, few
// records wait and nothing goes to disk.
#pragma once

#include <cstddef>
#include <cstdint>

#include "database/reader.h"
#include "dump/pending.h"
#include "dump/runs.h"

// Receives the differences.
class DiffSink {
 public:
  virtual ~DiffSink() = default;
  virtual void Added(const DatabaseRecord& record) = 0;
  virtual void Removed(const DatabaseRecord& record) = 0;
  virtual void Changed(const DatabaseRecord& old,
                       const DatabaseRecord& now) = 0;
};

class RecordPairing {
 public:
  // Runs merged at once; more are merged into fewer first.
  static constexpr size_t kFanIn = 32;

  // A pair is changed when its size, last-write or creation time differs,
  // and with `compareAccess` its last-access time.  `storeBytes` and
  // `storeSlots` size the memory records wait in (tests take less).
  RecordPairing(DiffSink* sink, bool compareAccess,
                size_t storeBytes = PendingStore::kBytes,
                size_t storeSlots = PendingStore::kSlots)
      : sink_(sink),
        compareAccess_(compareAccess),
        store_(storeBytes, storeSlots) {}
  ~RecordPairing();
  RecordPairing(const RecordPairing&) = delete;
  RecordPairing& operator=(const RecordPairing&) = delete;

  // Takes the memory.  False on a fault (see Fault()).
  bool Start();
  // The next record of one side.  A pair found is passed on at once; a
  // record without one waits.  False on a fault.
  bool Add(DiffSide side, const DatabaseRecord& record) {
    return AddHashed(side, record, HashPath(record.path, record.pathLength));
  }
  // The next record of one side, `hash` its path's, when it pairs with a
  // record of the other side that waits: passes the pair on and returns
  // true.  Otherwise nothing is done.
  bool TryPair(DiffSide side, const DatabaseRecord& record, uint64_t hash);
  // Starts loading what TryPair and AddHashed will look at for `record`:
  // where the orders differ, those are cache misses, and the two sides'
  // are then waited for together.
  void Prefetch(const DatabaseRecord& record, uint64_t hash) const;
  // Add, with the hash of the record's path.
  bool AddHashed(DiffSide side, const DatabaseRecord& record, uint64_t hash);
  // The next records of both sides, when their paths are equal: the usual
  // case, paired without a copy unless earlier copies of the path wait.
  bool AddBoth(const DatabaseRecord& old, const DatabaseRecord& now);
  // Both sides ended: pairs what waits, in path order, and passes on the
  // rest as added or removed.  False on a fault.
  bool Finish();
  DiffFault Fault() const { return fault_; }
  // Runs of waiting records written to disk so far.
  size_t RunsSpilled() const { return runsSpilled_; }
  // Bytes written to the scratch file so far.
  uint64_t ScratchBytes() const { return file_.Size(); }

 private:
  void Compare(const DatabaseRecord& old, const DatabaseRecord& now);
  bool Keep(DiffSide side, const DatabaseRecord& record, uint64_t hash,
            bool indexed);
  void Pair(DiffSide side, const DatabaseRecord& record, PendingEntry* waiting);
  bool WasSpilled(uint64_t hash) const;
  bool Spill();
  bool SortedOffsets(DiffSide side, uint32_t* offsets, size_t* count);
  bool AddRun(DiffSide side, const Run& run);
  bool Reduce(DiffSide side);
  bool Join(MergedStream* old, MergedStream* now);
  bool Failed(DiffFault fault) {
    fault_ = fault;
    return false;
  }

  DiffSink* sink_;
  bool compareAccess_;
  PendingStore store_;
  uint32_t* offsets_ = nullptr;
  // A bit a path hash of the records spilled to disk: their paths pair
  // there, so that copies of a path pair in order.
  uint64_t* spilled_ = nullptr;
  RunFile file_;
  Run* runs_[2] = {nullptr, nullptr};
  size_t runCount_[2] = {0, 0};
  size_t runRoom_[2] = {0, 0};
  size_t runsSpilled_ = 0;
  DiffFault fault_ = kDiffFine;
};
