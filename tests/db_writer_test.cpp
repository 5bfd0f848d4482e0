#include "database/db_writer.h"

#include <gtest/gtest.h>

#include <string>

#include "database/record_store.h"
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
