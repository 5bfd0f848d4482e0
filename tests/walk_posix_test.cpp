#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "database/read_ahead.h"
#include "database/record.h"
#include "database/record_store.h"
#include "database/result.h"
#include "database/walk.h"
#include "ordered_walk.h"
#include "platform/platform.h"
#include "support/memory.h"
#include "test_util.h"

namespace {

// Called after each statx that the system answers, with the call's
// directory, path and answer: a test may change the answer, or the tree in
// the moment between the search's look at an entry and what the walk does
// next.
void (*gAfterStatx)(int directory, const char* path, struct statx* info);

}  // namespace

// Stands in for the C library's statx in this program: the search's looks
// pass through gAfterStatx.
extern "C" int statx(int directory, const char* path, int flags, unsigned mask,
                     struct statx* info) noexcept {
  auto result =
      static_cast<int>(syscall(SYS_statx, directory, path, flags, mask, info));
  if (result == 0 && gAfterStatx != nullptr) {
    gAfterStatx(directory, path, info);
  }
  return result;
}

namespace {

// Fails every gPeriod-th allocation, whichever thread asks.
std::atomic<int> gAllocations{0};
int gPeriod = 0;

void* FailEvery(size_t size) {
  if (++gAllocations % gPeriod == 0) return nullptr;
  return ::operator new(size, std::nothrow);
}

// The lowest descriptor not open: opens fail once the limit is set there.
int LowestFreeDescriptor() {
  int descriptor = 0;
  while (fcntl(descriptor, F_GETFD) != -1) ++descriptor;
  return descriptor;
}

// Leaves room for `free` more descriptors until Lift, or the end of scope.
class DescriptorLimit {
 public:
  explicit DescriptorLimit(int free) {
    held_ = getrlimit(RLIMIT_NOFILE, &before_) == 0;
    struct rlimit tight = before_;
    tight.rlim_cur = static_cast<rlim_t>(LowestFreeDescriptor() + free);
    held_ = held_ && setrlimit(RLIMIT_NOFILE, &tight) == 0;
  }
  ~DescriptorLimit() { Lift(); }
  DescriptorLimit(const DescriptorLimit&) = delete;
  DescriptorLimit& operator=(const DescriptorLimit&) = delete;

  bool Held() const { return held_; }
  void Lift() {
    if (held_) setrlimit(RLIMIT_NOFILE, &before_);
    held_ = false;
  }

 private:
  struct rlimit before_;
  bool held_;
};

class WalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    ASSERT_FALSE(temp_.Path().empty());
    fs::path root = fs::path(temp_.Path()) / "k";
    for (int i = 0; i < 30; ++i) {
      fs::path directory = root / ("d" + std::to_string(i)) / "e";
      fs::create_directories(directory);
      for (int j = 0; j < 10; ++j) {
        std::ofstream(directory / ("f" + std::to_string(j)));
        std::ofstream(directory.parent_path() / ("g" + std::to_string(j)));
      }
    }
    Install("K fixed " + root.string() + "\n");
  }
  void TearDown() override { Install("C fixed /\n"); }

  void Install(const std::string& table) {
    std::string file = temp_.Path() + "/drives";
    std::ofstream(file) << table;
    environment_.Set("KAVELO_DRIVES", file);
    environment_.Set("KAVELO_REGISTRY", temp_.Path() + "/none.reg");
    char message[512];
    ASSERT_TRUE(platform::Initialize(message, sizeof message)) << message;
  }

  // The records of a walk of K: with `workers` started as `start`, every
  // `period`-th allocation of the walk failing (0: none).
  std::string Walk(unsigned workers, int period,
                   WorkersStart start = WorkersStart::kAtOnce) {
    EXPECT_TRUE(RecordStoreOpen());
    gPeriod = period;
    if (period != 0) memory::SetAllocator(FailEvery);
    EXPECT_EQ(kResultWritten, WalkDirectory("K:", workers, start));
    memory::SetAllocator(nullptr);
    CollectingSink sink;
    EXPECT_TRUE(RecordStoreDrain(sink.Sink()));
    RecordStoreRelease();
    return sink.Bytes();
  }

  ScopedTempDir temp_;
  ScopedEnvironment environment_;
};

TEST_F(WalkTest, ListsWithoutMemoryLeaveTheRecordsAsTheyWere) {
  std::string serial = Walk(0, 0);
  // 600 records of 17 bytes beside their paths, such as K:\d12\g3 and
  // K:\d12\e\f3.
  ASSERT_EQ(16000u, serial.size());
  for (unsigned workers : {0u, 1u, 3u}) {
    for (int period : {2, 3, 7}) {
      EXPECT_EQ(serial, Walk(workers, period)) << workers << " " << period;
    }
  }
}

// The read-ahead's clocks in the test below: each reading a step on.  The
// walk reads both clocks once every few directories, so each such block of
// reads takes a millisecond: slow, as every warm read is under Wine.  While
// the walk runs on the processor throughout (the busy step as long), no
// block waits; once the busy step is a tenth, every block waits for nine
// tenths of its time, as reads from a cold disk do.
constexpr uint64_t kStep = 1000000;
constexpr uint64_t kBusyWhileQuick = kStep;
constexpr uint64_t kBusyWhileWaiting = kStep / 10;
std::atomic<uint64_t> gNow{0};
std::atomic<uint64_t> gBusyNow{0};
std::atomic<uint64_t> gBusyStep{0};
uint64_t SteppingClock() { return gNow += kStep; }
uint64_t SteppingBusyClock() { return gBusyNow += gBusyStep; }

// Whether workers ran while reads waited and while they did not.  The reads
// turn from quick to waiting and back at the root's subdirectories that
// gFlips names, in order.  A worker's own look at an entry shows it
// running, as the walk's thread may look at none once the workers read
// ahead of it.
std::thread::id gWalkThread;
std::vector<int> gFlips;
size_t gNextFlip;
int gSubdirectories;
std::atomic<bool> gWorkersWhileQuick;
std::atomic<bool> gWorkersWhileSlow;

void WatchWorkers(int, const char* path, struct statx*) {
  bool walk = std::this_thread::get_id() == gWalkThread;
  if (!walk || ReadAheadRunning()) {
    (gBusyStep == kBusyWhileQuick ? gWorkersWhileQuick : gWorkersWhileSlow) =
        true;
  }
  if (!walk) return;
  const char* slash = strrchr(path, '/');
  const char* name = slash != nullptr ? slash + 1 : path;
  if (name[0] != 'd') return;
  ++gSubdirectories;
  if (gNextFlip < gFlips.size() && gSubdirectories == gFlips[gNextFlip]) {
    ++gNextFlip;
    gBusyStep =
        gBusyStep == kBusyWhileQuick ? kBusyWhileWaiting : kBusyWhileQuick;
  }
}

// Workers waiting for slow reads start only once the walk's own reads wait,
// mid-walk, where the serial walk has searches open at every level above:
// reads slow on the processor alone start none; a few blocks that waited
// long ago count no more; and a walk after one that started them starts
// afresh.  The records are the serial walk's either way.
TEST_F(WalkTest, WorkersWaitingForSlowReadsStartOnlyOnceReadsWait) {
  // Sixteen more directories in each of the root's 30 subtrees, 18 in each:
  // enough for the walk to see its reads wait, block after block of 16.
  for (int i = 0; i < 30; ++i) {
    for (int j = 0; j < 16; ++j) {
      std::filesystem::create_directory(temp_.Path() + "/k/d" +
                                        std::to_string(i) + "/e/h" +
                                        std::to_string(j));
    }
  }
  std::string serial = Walk(0, 0);
  gWalkThread = std::this_thread::get_id();
  SetReadAheadClocks(SteppingClock, SteppingBusyClock);
  gAfterStatx = WatchWorkers;
  struct Case {
    std::vector<int> flips;
    bool starts;
  };
  const Case cases[] = {
      {{5}, true},  // waiting from the 5th subtree on
      {{}, false},  // never waiting, after a walk that started them
      // Three subtrees waiting (3 blocks), 17 quick (19 blocks), then six
      // waiting (7 blocks, the root's own read last): never 8 of the last 16.
      {{5, 8, 25}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flips.size());
    gBusyStep = kBusyWhileQuick;
    gFlips = c.flips;
    gNextFlip = 0;
    gSubdirectories = 0;
    gWorkersWhileQuick = false;
    gWorkersWhileSlow = false;
    std::string lazy = Walk(1, 0, WorkersStart::kWhenReadsSlow);
    ASSERT_EQ(30, gSubdirectories);
    EXPECT_FALSE(gWorkersWhileQuick);
    EXPECT_EQ(c.starts, gWorkersWhileSlow);
    EXPECT_TRUE(serial == lazy) << lazy.size() << " bytes";
  }
  gAfterStatx = nullptr;
  SetReadAheadClocks(nullptr, nullptr);
}

// Whether the worker read the directory `sub` before the walk read the
// link's target `t` again: while the walk waits for the workers'
// descriptors, until it has read that directory, a worker may end the read
// it has begun but must begin no other.
std::atomic<bool> gWalkReadTarget;
std::atomic<bool> gSubReadFirst;

void WatchPause(int, const char* path, struct statx*) {
  const char* slash = strrchr(path, '/');
  const char* name = slash != nullptr ? slash + 1 : path;
  if (std::this_thread::get_id() == gWalkThread) {
    if (strcmp(name, "t") == 0) gWalkReadTarget = true;
  } else if (strcmp(name, "s") == 0 && !gWalkReadTarget) {
    gSubReadFirst = true;
  }
}

// A directory the walk cannot open while its workers hold every descriptor
// left is opened again once they let go, before they open another: it
// holds the same files as the serial walk finds.
TEST_F(WalkTest, WorkersHoldingTheLastDescriptorsLoseNoDirectory) {
#ifdef __SANITIZE_ADDRESS__
  // The sanitizers probe memory through a pipe of their own: out of
  // descriptors, they take a sound object for a bad one.
  GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
  namespace fs = std::filesystem;
  fs::path target = fs::path(temp_.Path()) / "target";
  fs::create_directories(target / "in");
  std::ofstream(target / "t") << "t";
  std::ofstream(target / "in" / "u") << "u";
  // The link must come first in the drive's order, whatever the file
  // system's order is: by creation either way, or by the name's hash.
  fs::path root = fs::path(temp_.Path()) / "j";
  bool linkFirst = false;
  for (int attempt = 0; attempt < 64 && !linkFirst; ++attempt) {
    fs::remove_all(root);
    fs::create_directories(root);
    fs::path link = root / ("l" + std::to_string(attempt));
    if (attempt % 2 == 0) fs::create_directory_symlink(target, link);
    fs::create_directories(root / "plain" / "sub");
    std::ofstream(root / "plain" / "p") << "p";
    std::ofstream(root / "plain" / "sub" / "s") << "s";
    if (attempt % 2 != 0) fs::create_directory_symlink(target, link);
    linkFirst = fs::directory_iterator(root)->path() == link;
  }
  ASSERT_TRUE(linkFirst);
  Install("K fixed " + root.string() + "\n");
  std::string serial = Walk(0, 0);
  HeldDescriptorWalk held;
  DescriptorLimit limit(1);
  ASSERT_TRUE(limit.Held());
  gWalkThread = std::this_thread::get_id();
  gWalkReadTarget = gSubReadFirst = false;
  gAfterStatx = WatchPause;
  std::string parallel = Walk(1, 0);
  gAfterStatx = nullptr;
  limit.Lift();
  EXPECT_FALSE(HeldDescriptorWalk::Stalled());
  EXPECT_EQ(serial, parallel);
  EXPECT_TRUE(gWalkReadTarget);
  EXPECT_FALSE(gSubReadFirst) << "a worker read plain\\sub while paused";
}

// A failed walk drops the read-aheads of the directories it did not visit,
// whichever state they are in (queued, read, being read), and frees them.
TEST_F(WalkTest, FailedWalkFreesWhatTheWorkerReadAhead) {
  long live;
  {
    FailingWalk failing;
    ASSERT_TRUE(RecordStoreOpen());
    // Fills the store to within less than the smallest record of the walk.
    platform::FindEntry entry = {};
    char name[200];
    memset(name, 'n', sizeof name);
    size_t room = kBlockSize;
    while (room >= record::Size(2, 1)) {
      size_t length = room - record::Size(2, 0);
      if (length > sizeof name) length = sizeof name;
      ASSERT_EQ(kResultWritten,
                RecordStoreAppend("K:", 2, name, length, entry));
      room -= record::Size(2, length);
    }
    FailingWalk::Arm();
    EXPECT_EQ(kResultNoMemory, WalkDirectory("K:", 1));
    RecordStoreRelease();
    live = FailingWalk::Live();
  }
  EXPECT_FALSE(FailingWalk::Stalled());
  EXPECT_EQ(0, live) << "blocks never given back";
}

// The paths of a record store's records.
std::set<std::string> PathsOf(const std::string& records) {
  std::set<std::string> paths;
  for (size_t at = 0; at < records.size();) {
    size_t end = records.find('\0', at);
    if (end == std::string::npos) break;
    paths.insert(records.substr(at, end - at));
    at = end + 1 + 16;  // the times and the size
  }
  return paths;
}

// The walk of `drive`: its result and its records.
std::pair<uint32_t, std::string> WalkOf(const char* drive, unsigned workers) {
  EXPECT_TRUE(RecordStoreOpen());
  uint32_t result = WalkDirectory(drive, workers);
  CollectingSink sink;
  EXPECT_TRUE(RecordStoreDrain(sink.Sink()));
  RecordStoreRelease();
  return {result, sink.Bytes()};
}

// The swap below: where the directory `d` and the link `l` lie, the entry
// whose statx sets it off, and the directory holding that entry.
std::string gSwapRoot;
const char* gSwapAt;
ino_t gSwapIn;
std::atomic<bool> gSwapped;

void SwapOnce(int directory, const char* path, struct statx*) {
  const char* slash = strrchr(path, '/');
  struct stat in;
  if (strcmp(slash != nullptr ? slash + 1 : path, gSwapAt) != 0 ||
      fstat(directory, &in) != 0 || in.st_ino != gSwapIn ||
      gSwapped.exchange(true)) {
    return;
  }
  std::string d = gSwapRoot + "/d";
  std::string l = gSwapRoot + "/l";
  if (renameat2(AT_FDCWD, d.c_str(), AT_FDCWD, l.c_str(), RENAME_EXCHANGE)) {
    gSwapped = false;
  }
}

// A directory swapped for a link to the drive's root (a rename-exchange)
// right after the search saw it, before the walk enters it, or after the
// search of its subdirectory `inner` saw that, before a worker opens it by
// its whole path, which by then leads to the root's `inner`.  The walk
// records only paths that exist before or after the swap.
TEST_F(WalkTest, DirectorySwappedForALinkIsNotEntered) {
  namespace fs = std::filesystem;
  const std::set<std::string> existing = {"S:\\top", "S:\\inner\\g",
                                          "S:\\d\\inner\\f", "S:\\l\\inner\\f"};
  int run = 0;
  for (const char* swapAt : {"d", "inner"}) {
    for (unsigned workers : {0u, 3u}) {
      SCOPED_TRACE(std::string(swapAt) + " " + std::to_string(workers));
      fs::path root = fs::path(temp_.Path()) / ("s" + std::to_string(run++));
      fs::create_directories(root / "d" / "inner");
      fs::create_directories(root / "inner");
      std::ofstream(root / "top");
      std::ofstream(root / "inner" / "g");
      std::ofstream(root / "d" / "inner" / "f");
      fs::create_directory_symlink(root, root / "l");
      Install("S fixed " + root.string() + "\n");
      gSwapRoot = root.string();
      gSwapAt = swapAt;
      struct stat in;
      ASSERT_EQ(
          0, stat((strcmp(swapAt, "d") == 0 ? root : root / "d").c_str(), &in));
      gSwapIn = in.st_ino;
      gSwapped = false;
      gAfterStatx = SwapOnce;
      auto [result, records] = WalkOf("S:", workers);
      gAfterStatx = nullptr;
      ASSERT_TRUE(gSwapped);
      EXPECT_EQ(kResultWritten, result);
      std::set<std::string> paths = PathsOf(records);
      for (const std::string& path : paths) {
        EXPECT_EQ(1u, existing.count(path)) << path;
      }
      EXPECT_EQ(1u, paths.count("S:\\top"));
      EXPECT_EQ(1u, paths.count("S:\\inner\\g"));
    }
  }
}

void BornAtTheEpoch(int, const char*, struct statx* info) {
  info->stx_mask |= STATX_BTIME;
  info->stx_btime.tv_sec = 0;
  info->stx_btime.tv_nsec = 0;
}

// File systems made from an image give every file that came with it a birth
// time of 1970-01-01 00:00:00: no birth time at all.
TEST_F(WalkTest, BirthTimeOfTheEpochIsNone) {
  platform::FindEntry entry;
  gAfterStatx = BornAtTheEpoch;
  platform::FindHandle* search = platform::FindFirst("K:\\d0\\g0", &entry);
  gAfterStatx = nullptr;
  ASSERT_NE(nullptr, search);
  platform::FindEnd(search);
  EXPECT_NE(0u, platform::Ticks(entry.lastWriteTime));
  EXPECT_EQ(platform::Ticks(entry.lastWriteTime),
            platform::Ticks(entry.creationTime));
}

// However deep the tree, one free descriptor is enough to walk it whole,
// serially or with workers; with none the walk fails rather than leave the
// drive empty.
TEST_F(WalkTest, OneFreeDescriptorWalksADeepChainAndNoneFailsTheWalk) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
  namespace fs = std::filesystem;
  fs::path chain = fs::path(temp_.Path()) / "chain";
  fs::path level = chain;
  for (int i = 0; i < 60; ++i) {
    level /= "c";
    fs::create_directories(level);
    std::ofstream(level / ("f" + std::to_string(i)));
  }
  Install("L fixed " + chain.string() + "\n");
  auto [result, serial] = WalkOf("L:", 0);
  ASSERT_EQ(kResultWritten, result);
  ASSERT_EQ(60u, PathsOf(serial).size());
  for (unsigned workers : {0u, 3u}) {
    DescriptorLimit oneLimit(1);
    ASSERT_TRUE(oneLimit.Held());
    auto oneFree = WalkOf("L:", workers);
    oneLimit.Lift();
    DescriptorLimit noneLimit(0);
    ASSERT_TRUE(noneLimit.Held());
    auto noneFree = WalkOf("L:", workers);
    noneLimit.Lift();
    EXPECT_EQ(kResultWritten, oneFree.first) << workers;
    EXPECT_TRUE(serial == oneFree.second)
        << PathsOf(oneFree.second).size() << " records, workers " << workers;
    EXPECT_EQ(kWalkNoDescriptors, noneFree.first) << workers;
  }
}

// A search parked for want of descriptors goes on only in the directory it
// began in: another put in its place meanwhile ends it, as a removed one
// would, though it holds the same names.
TEST_F(WalkTest, ParkedSearchEndsWhenItsDirectoryIsReplaced) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
  namespace fs = std::filesystem;
  fs::path k = fs::path(temp_.Path()) / "k";
  fs::path other = fs::path(temp_.Path()) / "other";
  fs::create_directory(other);
  for (int j = 0; j < 10; ++j) std::ofstream(other / ("g" + std::to_string(j)));
  DescriptorLimit limit(1);
  ASSERT_TRUE(limit.Held());
  platform::FindEntry entry;
  platform::FindHandle* parked = platform::FindFirst("K:\\d0\\*.*", &entry);
  // The one free descriptor is d0's: d1's search parks it.
  platform::FindHandle* newer = platform::FindFirst("K:\\d1\\*.*", &entry);
  std::error_code error;
  fs::rename(k / "d0", fs::path(temp_.Path()) / "d0.old", error);
  if (!error) fs::rename(other, k / "d0", error);
  bool more = parked != nullptr && platform::FindNext(parked, &entry);
  if (parked != nullptr) platform::FindEnd(parked);
  if (newer != nullptr) platform::FindEnd(newer);
  limit.Lift();
  ASSERT_NE(nullptr, parked);
  ASSERT_NE(nullptr, newer);
  ASSERT_FALSE(error) << error.message();
  EXPECT_FALSE(more) << entry.name;
}

// A run confined to one processor (taskset, a container's CPU set) counts
// one, not every processor of the machine: workers beyond it would only
// take turns with the walk.
TEST(ProcessorCount, CountsOnlyTheProcessorsTheProcessMayRunOn) {
  cpu_set_t allowed;
  ASSERT_EQ(0, sched_getaffinity(0, sizeof allowed, &allowed));
  int first = 0;
  while (!CPU_ISSET(first, &allowed)) ++first;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(0, sched_setaffinity(0, sizeof one, &one));
  unsigned confined = platform::ProcessorCount();
  sched_setaffinity(0, sizeof allowed, &allowed);
  EXPECT_EQ(1u, confined);
  EXPECT_EQ(static_cast<unsigned>(CPU_COUNT(&allowed)),
            platform::ProcessorCount());
}

}  // namespace
