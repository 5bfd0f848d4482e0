// What a comparison leaves over (the records without a partner, and both
// records of each pair that differs) sorted by path, through sorted runs
// in a scratch file when they do not fit in memory, and paired a last time
// in that order: the copies of a path in the order they came.
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

// Passes the pair on to `sink` as changed when its records differ.
inline void ComparePair(DiffSink* sink, const DatabaseRecord& old,
                        const DatabaseRecord& now, bool compareAccess) {
  if (RecordsDiffer(old, now, compareAccess)) sink->Changed(old, now);
}

class SortedLeftovers {
 public:
  // Runs merged at once; more are merged into fewer first.
  static constexpr size_t kFanIn = 32;

  // Sorts the entries of `store`: those it holds at the end, and those
  // kept.
  SortedLeftovers(PendingStore* store, DiffSink* sink, bool compareAccess)
      : store_(store), sink_(sink), compareAccess_(compareAccess) {}
  ~SortedLeftovers();
  SortedLeftovers(const SortedLeftovers&) = delete;
  SortedLeftovers& operator=(const SortedLeftovers&) = delete;

  // Takes the memory.  False when there is none.
  bool Start();
  // Adds a record, spilling the store as a sorted run when it is full.
  // False on a fault.
  bool Keep(DiffSide side, const DatabaseRecord& record, uint64_t hash);
  // Pairs what the store holds and what was spilled, in path order, and
  // passes on the differences.  False on a fault.
  bool Finish();
  size_t RunsSpilled() const { return runsSpilled_; }
  uint64_t ScratchBytes() const { return file_.Size(); }
  DiffFault Fault() const { return fault_; }

 private:
  void SortedOffsets(DiffSide side, uint32_t* offsets, size_t* count);
  bool Spill();
  bool AddRun(DiffSide side, const Run& run);
  bool Reduce(DiffSide side);
  bool Join(MergedStream* old, MergedStream* now);
  bool Failed(DiffFault fault) {
    fault_ = fault;
    return false;
  }

  PendingStore* store_;
  DiffSink* sink_;
  bool compareAccess_;
  uint32_t* offsets_ = nullptr;
  RunFile file_;
  Run* runs_[2] = {nullptr, nullptr};
  size_t runCount_[2] = {0, 0};
  size_t runRoom_[2] = {0, 0};
  size_t runsSpilled_ = 0;
  DiffFault fault_ = kDiffFine;
};
