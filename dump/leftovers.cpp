#include "dump/leftovers.h"

#include <algorithm>
#include <cstring>

#include "support/memory.h"

namespace {

// The waiting records of one side, in path order, from memory.
class WaitingCursor : public RecordCursor {
 public:
  WaitingCursor(const PendingStore& store, const uint32_t* offsets,
                size_t count)
      : store_(store), offsets_(offsets), count_(count) {}
  bool Next() override {
    if (next_ == count_) return false;
    record_ = store_.At(offsets_[next_++])->Record();
    return true;
  }

 private:
  const PendingStore& store_;
  const uint32_t* offsets_;
  size_t count_;
  size_t next_ = 0;
};

}  // namespace

SortedLeftovers::~SortedLeftovers() {
  memory::Release(offsets_);
  memory::Release(runs_[0]);
  memory::Release(runs_[1]);
}

bool SortedLeftovers::Start() {
  offsets_ = static_cast<uint32_t*>(
      memory::Allocate(store_->MostEntries() * sizeof(uint32_t)));
  if (offsets_ == nullptr) return Failed(kDiffNoMemory);
  return true;
}

bool SortedLeftovers::Keep(DiffSide side, const DatabaseRecord& record,
                           uint64_t hash) {
  if (store_->Add(side, record, hash, false)) return true;
  if (!Spill()) return false;
  if (store_->Add(side, record, hash, false)) return true;
  return Failed(kDiffNoMemory);
}

void SortedLeftovers::SortedOffsets(DiffSide side, uint32_t* offsets,
                                    size_t* count) {
  *count = store_->Collect(side, offsets);
  const PendingStore& store = *store_;
  // Copies of a path keep the order they came in.
  std::sort(offsets, offsets + *count, [&store](uint32_t a, uint32_t b) {
    const PendingEntry* x = store.At(a);
    const PendingEntry* y = store.At(b);
    int order =
        ComparePaths(x->Path(), x->pathLength, y->Path(), y->pathLength);
    return order < 0 || (order == 0 && a < b);
  });
}

bool SortedLeftovers::AddRun(DiffSide side, const Run& run) {
  if (runCount_[side] == runRoom_[side]) {
    size_t room = runRoom_[side] == 0 ? 16 : 2 * runRoom_[side];
    auto* runs = static_cast<Run*>(memory::Allocate(room * sizeof(Run)));
    if (runs == nullptr) return Failed(kDiffNoMemory);
    if (runCount_[side] > 0) {
      memcpy(runs, runs_[side], runCount_[side] * sizeof(Run));
    }
    memory::Release(runs_[side]);
    runs_[side] = runs;
    runRoom_[side] = room;
  }
  runs_[side][runCount_[side]++] = run;
  ++runsSpilled_;
  return true;
}

// What is left over goes to sorted runs when the store is full.
bool SortedLeftovers::Spill() {
  for (DiffSide side : {kOldSide, kNewSide}) {
    size_t count = 0;
    SortedOffsets(side, offsets_, &count);
    if (count == 0) continue;
    if (!file_.Begin()) return Failed(file_.Fault());
    for (size_t i = 0; i < count; ++i) {
      const PendingEntry* entry = store_->At(offsets_[i]);
      if (!file_.Put(entry->Record())) return Failed(file_.Fault());
    }
    Run run;
    if (!file_.End(&run)) return Failed(file_.Fault());
    if (!AddRun(side, run)) return false;
  }
  store_->Clear();
  return true;
}

// Each pass merges runs that stand side by side, kFanIn at a time from the
// earliest, and only as many as it takes to leave kFanIn: a record is
// written again once a pass, not once a merge, and a merged run takes the
// place of its runs, so that copies of a path keep their order.
bool SortedLeftovers::Reduce(DiffSide side) {
  Run* runs = runs_[side];
  while (runCount_[side] > kFanIn) {
    size_t count = runCount_[side];
    size_t kept = 0;
    size_t at = 0;
    while (kept + (count - at) > kFanIn) {
      // Runs merged into one leave that many less one; a pass that cannot
      // leave kFanIn merges every run once, and the next pass goes on.
      size_t group =
          std::min({kept + (count - at) - kFanIn + 1, count - at, kFanIn});
      if (group < 2) break;
      Run merged;
      if (!file_.Merge(runs + at, group, &merged)) {
        return Failed(file_.Fault());
      }
      runs[kept++] = merged;
      at += group;
    }
    memmove(runs + kept, runs + at, (count - at) * sizeof(Run));
    runCount_[side] = kept + (count - at);
  }
  return true;
}

bool SortedLeftovers::Join(MergedStream* old, MergedStream* now) {
  bool read = true;
  while (read && old->Valid() && now->Valid()) {
    const DatabaseRecord& o = old->Top();
    const DatabaseRecord& n = now->Top();
    int order = ComparePaths(o.path, o.pathLength, n.path, n.pathLength);
    if (order < 0) {
      sink_->Removed(o);
      read = old->Advance();
    } else if (order > 0) {
      sink_->Added(n);
      read = now->Advance();
    } else {
      ComparePair(sink_, o, n, compareAccess_);
      read = old->Advance() && now->Advance();
    }
  }
  while (read && old->Valid()) {
    sink_->Removed(old->Top());
    read = old->Advance();
  }
  while (read && now->Valid()) {
    sink_->Added(now->Top());
    read = now->Advance();
  }
  if (read) return true;
  return Failed(old->Fault() != kDiffFine ? old->Fault() : now->Fault());
}

bool SortedLeftovers::Finish() {
  MergedStream streams[2];
  if (runsSpilled_ == 0) {
    // Nothing on disk: what waits is merged in memory.
    size_t oldCount = 0;
    size_t newCount = 0;
    SortedOffsets(kOldSide, offsets_, &oldCount);
    SortedOffsets(kNewSide, offsets_ + oldCount, &newCount);
    WaitingCursor oldWaiting(*store_, offsets_, oldCount);
    WaitingCursor newWaiting(*store_, offsets_ + oldCount, newCount);
    RecordCursor* cursors[2] = {&oldWaiting, &newWaiting};
    streams[0].Start(cursors, 1);
    streams[1].Start(cursors + 1, 1);
    return Join(&streams[0], &streams[1]);
  }
  if (!Spill()) return false;
  // The merge needs the memory that waiting took.
  store_->Release();
  memory::Release(offsets_);
  offsets_ = nullptr;
  if (!Reduce(kOldSide) || !Reduce(kNewSide)) return false;
  RunCursors cursors[2];
  for (DiffSide side : {kOldSide, kNewSide}) {
    if (!cursors[side].Open(file_.File(), runs_[side], runCount_[side])) {
      return Failed(kDiffNoMemory);
    }
    if (!streams[side].Start(cursors[side].Cursors(), cursors[side].Count())) {
      return Failed(streams[side].Fault());
    }
  }
  return Join(&streams[0], &streams[1]);
}
