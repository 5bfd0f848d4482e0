#include "database/db_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "database/record_store.h"
#include "database/result.h"
#include "tests/test_util.h"

namespace {

class WriterTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(RecordStoreOpen());
    gCreator.Free();
    gDescription.Free();
  }
  void TearDown() override {
    RecordStoreRelease();
    gCreator.Free();
    gDescription.Free();
  }

  uint32_t Write(const char* letters) {
    return WriteDatabaseTo(sink_.Sink(), letters, 0x5A0B0C0D);
  }

  CollectingSink sink_;
};

}  // namespace

TEST_F(WriterTest, EmptyDriveGivesSeventeenBytes) {
  EXPECT_EQ(0u, Write("C"));
  EXPECT_EQ(std::string("VANTOREX\x04\0\0C\0\x0D\x0C\x0B\x5A", 17),
            sink_.Bytes());
}

TEST_F(WriterTest, HeaderTextsWithTheirTerminators) {
  gCreator.Assign("Nightly", DynString::kAll);
  EXPECT_EQ(0u, Write("CDC"));
  EXPECT_EQ(std::string("VANTOREX\x04Nightly\0\0CDC\0\x0D\x0C\x0B\x5A", 26),
            sink_.Bytes());
}

TEST_F(WriterTest, BlocksFollowTheHeaderInOrderWithNothingBetween) {
  // 5000 records of 220 bytes fill three blocks and part of a fourth.
  std::string expected("VANTOREX\x04\0\0C\0\x0D\x0C\x0B\x5A", 17);
  platform::FindEntry entry = {};  // times of 1601 and size 0: zero bytes
  for (int i = 0; i < 5000; ++i) {
    std::string name = std::to_string(i) + std::string(200, 'n');
    name.resize(200);
    ASSERT_EQ(0u, RecordStoreAppend("C:", 2, name.c_str(), 200, entry));
    expected += "C:\\" + name + std::string(17, '\0');
  }
  EXPECT_EQ(0u, Write("C"));
  EXPECT_EQ(expected.size(), sink_.Bytes().size());
  EXPECT_TRUE(expected == sink_.Bytes());
  EXPECT_EQ(5u + 4u, sink_.writes.size());  // one per header field and block
}

TEST_F(WriterTest, EveryShortWriteReportsTwo) {
  // Five header writes and three blocks: each write of the run fails once.
  std::string name(200, 'n');
  platform::FindEntry entry = {};
  for (int failing = 0; failing <= 8; ++failing) {
    ASSERT_TRUE(RecordStoreOpen());
    for (int i = 0; i < 3500; ++i) {
      ASSERT_EQ(0u, RecordStoreAppend("C:", 2, name.c_str(), 200, entry));
    }
    sink_ = CollectingSink();
    sink_.shortAt = failing;
    EXPECT_EQ(failing == 0 ? 0u : 2u, Write("C")) << failing;
    EXPECT_EQ(failing == 0 ? 8u : static_cast<size_t>(failing),
              sink_.writes.size());
  }
}

namespace {

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::string> ListDirectory(const ScopedTempDir& directory) {
  std::vector<std::string> names;
  for (const auto& entry :
       std::filesystem::directory_iterator(directory.Path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// One drive of a simulated run: its records, and how its walk ends.
struct SimulatedDrive {
  char letter;
  int records;  // 0 with `walked` unset: not ready, ignored
  bool walked;  // the walk ended normally
};

// Runs the scan run's steps over `drives` with the store holding `budget`
// filled blocks, and returns the file at `path` (empty when none).
std::string SimulateRun(const std::string& path,
                        const std::vector<SimulatedDrive>& drives,
                        uint32_t budget, bool abort, uint32_t* result) {
  RecordStoreSetBudget(budget);
  EXPECT_TRUE(RecordStoreOpen());
  SpillStart(path.c_str());
  std::string letters;
  platform::FindEntry entry = {};
  for (size_t i = 0; i < drives.size(); ++i) {
    if (drives[i].records == 0 && !drives[i].walked) continue;
    std::string expected = letters;
    for (size_t j = i; j < drives.size(); ++j) expected += drives[j].letter;
    SpillExpect(expected.c_str());
    char directory[3] = {drives[i].letter, ':', '\0'};
    for (int n = 0; n < drives[i].records; ++n) {
      std::string name = std::to_string(n) + std::string(200, 'n');
      name.resize(200);
      EXPECT_EQ(0u, RecordStoreAppend(directory, 2, name.c_str(), 200, entry));
    }
    if (drives[i].walked) letters += drives[i].letter;
  }
  *result = kResultNothingWritten;
  if (abort || letters.empty()) {
    SpillAbandon();
  } else {
    *result = WriteDatabase(path.c_str(), letters.c_str(), 0x5A0B0C0D);
  }
  RecordStoreRelease();
  RecordStoreSetBudget(kSpillBudget);
  return ReadFileBytes(path);
}

}  // namespace

// Every outcome of a run gives the same file whether its records waited in
// memory or on the disk: one block held against all of them.
TEST(SpillTest, SameBytesAsAStoreWithoutBudget) {
  struct Case {
    const char* outcome;
    std::vector<SimulatedDrive> drives;
    bool abort;
  };
  const Case cases[] = {
      {"every drive walked", {{'C', 4000, true}, {'D', 3000, true}}, false},
      {"one drive, under the budget", {{'C', 1000, true}}, false},
      {"D not ready, ignored",
       {{'C', 4000, true}, {'D', 0, false}, {'E', 10, true}},
       false},
      {"D out of memory",
       {{'C', 4000, true}, {'D', 2500, false}, {'E', 10, true}},
       false},
      {"C out of memory", {{'C', 4000, false}, {'D', 100, true}}, false},
      {"every walk out of memory", {{'C', 4000, false}}, false},
      {"Abort", {{'C', 4000, true}, {'D', 3000, true}}, true},
  };
  gCreator.Assign("spill", DynString::kAll);
  ScopedTempDir directory;
  ASSERT_FALSE(directory.Path().empty());
  std::string path = directory.Join("files.dbs");
  const std::string earlier = "an earlier database";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.outcome);
    WriteFileBytes(path, earlier);
    uint32_t unboundedResult, spilledResult;
    std::string unbounded =
        SimulateRun(path, c.drives, 1000000, c.abort, &unboundedResult);
    WriteFileBytes(path, earlier);
    std::string spilled =
        SimulateRun(path, c.drives, 1, c.abort, &spilledResult);
    EXPECT_EQ(unboundedResult, spilledResult);
    EXPECT_EQ(unbounded.size(), spilled.size());
    EXPECT_TRUE(unbounded == spilled);
    if (spilledResult != 0) {
      EXPECT_EQ(earlier, spilled);
    }
    EXPECT_EQ(std::vector<std::string>{"files.dbs"}, ListDirectory(directory));
  }
  gCreator.Free();
}

// A database that cannot be created is reported as 1 at the end, whether
// or not a spill met it first; nothing is left behind.
TEST(SpillTest, CannotCreateIsReportedByTheWriter) {
  ScopedTempDir directory;
  ASSERT_FALSE(directory.Path().empty());
  std::string path = directory.Join("missing") + "/files.dbs";
  for (uint32_t budget : {1u, 1000000u}) {
    uint32_t result;
    EXPECT_EQ("",
              SimulateRun(path, {{'C', 4000, true}}, budget, false, &result));
    EXPECT_EQ(kResultCannotCreate, result) << budget;
    EXPECT_TRUE(ListDirectory(directory).empty());
  }
}
