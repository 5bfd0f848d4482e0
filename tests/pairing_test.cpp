#include "dump/pairing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "test_util.h"

namespace {

struct Item {
  std::string path;
  int32_t lastWrite;
  uint32_t size;
};

DatabaseRecord RecordOf(const Item& item) {
  return {item.path.data(),
          static_cast<uint32_t>(item.path.size()),
          item.lastWrite,
          0,
          0,
          item.size};
}

// A difference as "added PATH SIZE", "removed PATH SIZE" or "changed PATH
// OLD-SIZE NEW-SIZE".
class Collect : public DiffSink {
 public:
  void Added(const DatabaseRecord& r) override {
    lines.push_back("added " + Path(r) + " " + std::to_string(r.size));
  }
  void Removed(const DatabaseRecord& r) override {
    lines.push_back("removed " + Path(r) + " " + std::to_string(r.size));
  }
  void Changed(const DatabaseRecord& o, const DatabaseRecord& n) override {
    lines.push_back("changed " + Path(n) + " " + std::to_string(o.size) + " " +
                    std::to_string(n.size));
  }
  static std::string Path(const DatabaseRecord& r) {
    return std::string(r.path, r.pathLength);
  }
  std::vector<std::string> lines;
};

// The differences as pairing the copies of each path in order gives them.
std::vector<std::string> Expected(const std::vector<Item>& old,
                                  const std::vector<Item>& now) {
  std::map<std::string, std::deque<const Item*>> waiting;
  for (const Item& item : old) waiting[item.path].push_back(&item);
  std::vector<std::string> lines;
  for (const Item& item : now) {
    auto& copies = waiting[item.path];
    if (copies.empty()) {
      lines.push_back("added " + item.path + " " + std::to_string(item.size));
      continue;
    }
    const Item* partner = copies.front();
    copies.pop_front();
    if (partner->size != item.size || partner->lastWrite != item.lastWrite) {
      lines.push_back("changed " + item.path + " " +
                      std::to_string(partner->size) + " " +
                      std::to_string(item.size));
    }
  }
  for (auto& [path, copies] : waiting) {
    for (const Item* item : copies) {
      lines.push_back("removed " + path + " " + std::to_string(item->size));
    }
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

struct Outcome {
  bool partitioned = false;
  size_t split = 0;
  size_t overflowed = 0;
  size_t runs = 0;
  uint64_t scratch = 0;
};

// Feeds both sides their next records, as kavelo-dump reads them.
// Feeds both sides their next records, as kavelo-dump reads them, and
// ends the pairing; false at the first fault.
bool Feed(RecordPairing* pairing, const std::vector<Item>& old,
          const std::vector<Item>& now) {
  if (!pairing->Start()) return false;
  size_t o = 0;
  size_t n = 0;
  while (o < old.size() || n < now.size()) {
    bool ok;
    if (o < old.size() && n < now.size() && old[o].path == now[n].path) {
      NextRecord oldNext = {RecordOf(old[o++])};
      NextRecord newNext = {RecordOf(now[n++])};
      ok = pairing->AddBoth(&oldNext, &newNext);
    } else if (o < old.size() && n < now.size()) {
      bool tookOld = false;
      bool tookNew = false;
      NextRecord oldNext = {RecordOf(old[o])};
      NextRecord newNext = {RecordOf(now[n])};
      ok = pairing->AddApart(&oldNext, &newNext, &tookOld, &tookNew);
      o += tookOld;
      n += tookNew;
    } else if (o < old.size()) {
      ok = pairing->Add(kOldSide, RecordOf(old[o++]));
    } else {
      ok = pairing->Add(kNewSide, RecordOf(now[n++]));
    }
    if (!ok) return false;
  }
  return pairing->Finish();
}

std::vector<std::string> Paired(const std::vector<Item>& old,
                                const std::vector<Item>& now,
                                const PairingMemory& memory, Outcome* outcome) {
  Collect sink;
  RecordPairing pairing(&sink, false, memory);
  EXPECT_TRUE(Feed(&pairing, old, now)) << pairing.Fault();
  *outcome = {pairing.WentToPartitions(), pairing.PartitionsSplit(),
              pairing.PartitionsPassedOn(), pairing.RunsSpilled(),
              pairing.ScratchBytes()};
  std::sort(sink.lines.begin(), sink.lines.end());
  return sink.lines;
}

}  // namespace

// Records in any order, with copies of paths (a drive walked twice), pair as
// the copies' order says: in memory, and through runs on disk when memory
// is small, many enough to be merged into fewer first.
TEST(RecordPairing, AnyOrderAnyMemory) {
  std::mt19937 random(25);
  std::vector<Item> old;
  for (int i = 0; i < 6000; ++i) {
    // One path in twenty stored twice or three times.
    int copies = i % 20 == 0 ? 2 + i % 3 : 1;
    std::string path = "C:\\dir" + std::to_string(i % 37) + "\\file" +
                       std::to_string(i) + std::string(i % 50, 'x');
    for (int c = 0; c < copies; ++c) {
      old.push_back({path, i, static_cast<uint32_t>(c)});
    }
  }
  std::vector<Item> same;
  for (size_t i = 0; i < old.size(); ++i) {
    if (i % 97 == 0) continue;  // removed
    Item item = old[i];
    if (i % 89 == 0) item.size += 100;  // changed
    same.push_back(item);
    if (i % 83 == 0) same.push_back({item.path + ".new", 1, 7});  // added
  }
  std::vector<Item> shuffled = same;
  std::shuffle(shuffled.begin(), shuffled.end(), random);
  // The copies of each path in their order still, the rest shuffled.
  std::vector<Item> copiesInOrder = shuffled;
  std::stable_sort(
      copiesInOrder.begin(), copiesInOrder.end(),
      [](const Item& a, const Item& b) { return a.path < b.path; });
  std::reverse(copiesInOrder.begin(), copiesInOrder.end());
  // No path in common: everything is left over to be sorted.
  std::vector<Item> renamed = shuffled;
  for (Item& item : renamed) item.path += ".moved";
  struct Memory {
    PairingMemory memory;
    // Where the orders differ, partitions whose OLD side does not fit, split
    // into partitions of their own, and whose parts still do not.
    bool splits;
    bool overflows;
    // Where no path pairs, more runs than this.
    size_t leastRuns;
    // The most times a record goes to disk: to its partition, and to runs
    // once a pass of merges.
    uint64_t mostWrites;
  };
  const Memory memories[] = {
      {{}, false, false, 0, 1},
      // A few dozen records wait, in chunks smaller than most of them:
      // more runs than are merged at once.
      {{4096, 128, 8, 64, 1 << 20},
       false,
       false,
       2 * SortedLeftovers::kFanIn,
       3},
      // Partitions split twice before they fit.
      {{4096, 128, 8, 64, 4096}, true, false, 2 * SortedLeftovers::kFanIn, 5},
      // A few at a time, and partitions that do not fit however split: so
      // many runs that merging them takes two passes.
      {{512, 8, 4, 64, 512},
       true,
       true,
       2 * SortedLeftovers::kFanIn * SortedLeftovers::kFanIn,
       7},
  };
  for (const std::vector<Item>* now :
       {&same, &shuffled, &copiesInOrder, &renamed}) {
    std::vector<Item> reversedOld(old.rbegin(), old.rend());
    for (const std::vector<Item>* from : {&old, &reversedOld}) {
      std::vector<std::string> expected = Expected(*from, *now);
      // A record at most: its entry in a partition, 40 bytes and its path.
      uint64_t recordBytes = 0;
      for (const auto* side : {from, now}) {
        for (const Item& item : *side) recordBytes += 40 + item.path.size();
      }
      for (const Memory& memory : memories) {
        Outcome outcome;
        EXPECT_EQ(expected, Paired(*from, *now, memory.memory, &outcome));
        EXPECT_LE(outcome.scratch, memory.mostWrites * recordBytes);
        if (memory.memory.storeBytes == PendingStore::kBytes) {
          // Orders that agree, or all records in memory: nothing on disk.
          EXPECT_EQ(0u, outcome.scratch);
        } else if (now != &same) {
          EXPECT_TRUE(outcome.partitioned);
          EXPECT_EQ(memory.splits, outcome.split > 0);
          EXPECT_EQ(memory.overflows, outcome.overflowed > 0);
        }
        if (now == &renamed && memory.leastRuns != 0) {
          EXPECT_GT(outcome.runs, memory.leastRuns);
        }
      }
    }
  }
}

// A path whose earlier copy went to disk pairs there, even when its next
// copy comes together with the other side's first; a path longer than the
// buffers a run is written and read through comes back whole.
TEST(RecordPairing, CopiesOnDiskAndLongPaths) {
  Collect sink;
  RecordPairing pairing(&sink, false, {1 << 20, 64});
  ASSERT_TRUE(pairing.Start());
  const Item twice[] = {{"C:\\twice", 1, 1}, {"C:\\twice", 1, 2}};
  const Item longOld = {"C:\\" + std::string(300000, 'l'), 1, 1};
  Item longNew = longOld;
  longNew.size = 2;
  ASSERT_TRUE(pairing.Add(kOldSide, RecordOf(twice[0])));
  ASSERT_TRUE(pairing.Add(kOldSide, RecordOf(longOld)));
  std::vector<std::string> expected = {"removed C:\\twice 2",
                                       "changed " + longOld.path + " 1 2"};
  for (int i = 0; !pairing.WentToPartitions(); ++i) {
    Item filler = {"C:\\f" + std::to_string(i), 1, 0};
    ASSERT_TRUE(pairing.Add(kOldSide, RecordOf(filler)));
    expected.push_back("removed " + filler.path + " 0");
  }
  NextRecord oldTwice = {RecordOf(twice[1])};
  NextRecord newTwice = {RecordOf(twice[0])};
  ASSERT_TRUE(pairing.AddBoth(&oldTwice, &newTwice));
  ASSERT_TRUE(pairing.Add(kNewSide, RecordOf(longNew)));
  ASSERT_TRUE(pairing.Finish()) << pairing.Fault();
  std::sort(expected.begin(), expected.end());
  std::sort(sink.lines.begin(), sink.lines.end());
  EXPECT_EQ(expected, sink.lines);
}

// Records paired after waiting leave the store's bytes taken until it is
// full, and only then dropped: the store spills after as many records as it
// would have without them, so that the same records pair in memory.
TEST(RecordPairing, SpillsAfterTheRecordsThatFillTheStore) {
  // Records waited for, added until the store spills: their paths are as
  // long as those paired first.
  auto spilledAfter = [](int pairedFirst) {
    Collect sink;
    RecordPairing pairing(&sink, false, {1 << 20, 1 << 16});
    EXPECT_TRUE(pairing.Start());
    for (int i = 0; i < pairedFirst; ++i) {
      Item item = {"C:\\paired\\" + std::to_string(100000 + i), 1, 0};
      EXPECT_TRUE(pairing.Add(kOldSide, RecordOf(item)));
      EXPECT_TRUE(pairing.Add(kNewSide, RecordOf(item)));
    }
    int waited = 0;
    while (!pairing.WentToPartitions()) {
      Item item = {"C:\\waited\\" + std::to_string(100000 + waited++), 1, 0};
      EXPECT_TRUE(pairing.Add(kOldSide, RecordOf(item)));
    }
    return waited;
  };
  EXPECT_EQ(spilledAfter(0), spilledAfter(10000) + 10000);
}

// Any allocation may fail, in memory, in the partitions, when one is split
// and when what is left over is sorted on disk: the comparison then stops
// with no memory, having passed on only differences that are there, and
// gives back what it took (the sanitizers' build sees a leak).
TEST(RecordPairing, EachAllocationThatFails) {
  std::vector<Item> old;
  for (int i = 0; i < 300; ++i) {
    old.push_back(
        {"C:\\d" + std::to_string(i % 7) + "\\f" + std::to_string(i), i, 1});
  }
  std::vector<Item> now(old.rbegin(), old.rend());
  for (size_t i = 0; i < now.size(); i += 5) now[i].path += ".moved";
  for (size_t i = 1; i < now.size(); i += 7) now[i].size = 2;
  std::vector<std::string> expected = Expected(old, now);
  // Partitions split once, and runs of what is left over merged.
  const PairingMemory memory = {512, 8, 4, 64, 2048};
  Outcome whole;
  ASSERT_EQ(expected, Paired(old, now, memory, &whole));
  ASSERT_GT(whole.split, 0u);
  ASSERT_GT(whole.runs, 2 * SortedLeftovers::kFanIn);
  for (int nth = 1;; ++nth) {
    Collect sink;
    bool done;
    DiffFault fault;
    {
      FailingAllocation failing(nth);
      RecordPairing pairing(&sink, false, memory);
      done = Feed(&pairing, old, now);
      fault = pairing.Fault();
    }
    std::sort(sink.lines.begin(), sink.lines.end());
    if (done) {
      // The nth allocation was never asked for.
      EXPECT_EQ(expected, sink.lines);
      EXPECT_GT(nth, 10);
      break;
    }
    EXPECT_EQ(kDiffNoMemory, fault) << nth;
    EXPECT_TRUE(std::includes(expected.begin(), expected.end(),
                              sink.lines.begin(), sink.lines.end()))
        << nth;
  }
}

// Where the orders agree again past a block of records listed elsewhere (a
// directory moved), records pair as they are read: only the block and as
// many records beside it go to disk, the block moved later or earlier.
TEST(RecordPairing, OrdersThatAgreeAgainPairAsRead) {
  std::vector<Item> old;
  for (int i = 0; i < 20000; ++i) {
    old.push_back(
        {"C:\\dir" + std::to_string(i / 100) + "\\file" + std::to_string(i), i,
         1});
  }
  auto at = [&old](int i) { return old.begin() + i; };
  std::vector<Item> later(at(0), at(5000));
  later.insert(later.end(), at(7000), old.end());
  later.insert(later.end(), at(5000), at(7000));
  std::vector<Item> earlier(at(5000), at(7000));
  earlier.insert(earlier.end(), at(0), at(5000));
  earlier.insert(earlier.end(), at(7000), old.end());
  uint64_t blockBytes = 0;
  for (auto item = at(5000); item != at(7000); ++item) {
    blockBytes += 40 + item->path.size();
  }
  for (const std::vector<Item>* now : {&later, &earlier}) {
    Outcome outcome;
    EXPECT_EQ(Expected(old, *now), Paired(old, *now, {4096, 128}, &outcome));
    EXPECT_TRUE(outcome.partitioned);
    // The block on each side, and as many records on each while the two
    // sides read past each other.
    EXPECT_LE(outcome.scratch, 4 * blockBytes);
  }
}

// A partition whose OLD side all but fills the memory it is paired in, with
// entries as short as they come: the index has room for every one.
TEST(RecordPairing, FullPartitionOfShortPaths) {
  std::vector<Item> old;
  for (int i = 0; i < 100; ++i) {
    old.push_back({"C:\\f" + std::to_string(100 + i), 1, 1});
  }
  std::vector<Item> now(old.rbegin(), old.rend());
  now[3].size = 2;
  Outcome outcome;
  // One partition, its OLD side 100 entries of 40 bytes in 4096.
  EXPECT_EQ(Expected(old, now),
            Paired(old, now, {512, 8, 1, 64, 4096}, &outcome));
  EXPECT_TRUE(outcome.partitioned);
  EXPECT_EQ(0u, outcome.split);
}
