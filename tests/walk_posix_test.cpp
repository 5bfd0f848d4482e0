#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>

#include "database/record_store.h"
#include "database/result.h"
#include "database/walk.h"
#include "platform/platform.h"
#include "support/memory.h"
#include "test_util.h"

namespace {

// Fails every gPeriod-th allocation, whichever thread asks.
std::atomic<int> gAllocations{0};
int gPeriod = 0;

void* FailEvery(size_t size) {
  if (++gAllocations % gPeriod == 0) return nullptr;
  return ::operator new(size, std::nothrow);
}

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

  // The records of a walk of K: with `workers`, every `period`-th allocation
  // of the walk failing (0: none).
  std::string Walk(unsigned workers, int period) {
    EXPECT_TRUE(RecordStoreOpen());
    gPeriod = period;
    if (period != 0) memory::SetAllocator(FailEvery);
    EXPECT_EQ(kResultWritten, WalkDirectory("K:", workers));
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

TEST_F(WalkTest, WorkersHoldingTheLastDescriptorsLoseNoDirectory) {
#ifdef __SANITIZE_ADDRESS__
  // The sanitizers probe memory through a pipe of their own: out of
  // descriptors, they take a sound object for a bad one.
  GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
  std::string serial = Walk(0, 0);
  // Room for one more descriptor: three workers and the walk contend.
  int free = 0;
  int limit = 0;
  while (free < 1) {
    if (fcntl(limit, F_GETFD) == -1) ++free;
    ++limit;
  }
  struct rlimit before;
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &before));
  struct rlimit tight = before;
  tight.rlim_cur = static_cast<rlim_t>(limit);
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &tight));
  for (int run = 0; run < 20; ++run) {
    std::string parallel = Walk(3, 0);
    if (parallel != serial) {
      ADD_FAILURE() << "run " << run;
      break;
    }
  }
  setrlimit(RLIMIT_NOFILE, &before);
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
