#include "database/db_writer.h"

#include <gtest/gtest.h>

#include <string>

#include "database/record_store.h"

namespace {

// Collects what the writer writes; fails the write numbered `failAt`.
struct Collector {
  std::string bytes;
  int writes = 0;
  int failAt = 0;
  int halfAt = 0;  // the write numbered this takes half its bytes
};

uint32_t Collect(void* context, const void* bytes, uint32_t count) {
  auto* collector = static_cast<Collector*>(context);
  ++collector->writes;
  if (collector->writes == collector->failAt) return 0;
  if (collector->writes == collector->halfAt) count /= 2;
  collector->bytes.append(static_cast<const char*>(bytes), count);
  return count;
}

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
    WriteSink sink = {Collect, &collector_};
    return WriteDatabaseTo(sink, letters, 0x5A0B0C0D);
  }

  // Fills the current block with `count` bytes of `value`.
  static void Fill(char value, uint32_t count) {
    memset(gStore.current + gStore.fill, value, count);
    gStore.fill += count;
  }

  Collector collector_;
};

}  // namespace

TEST_F(WriterTest, EmptyDriveGivesSeventeenBytes) {
  EXPECT_EQ(0u, Write("C"));
  EXPECT_EQ(std::string("VANTOREX\x04\0\0C\0\x0D\x0C\x0B\x5A", 17),
            collector_.bytes);
  EXPECT_EQ(nullptr, gStore.current);  // released
}

TEST_F(WriterTest, HeaderTextsWithTheirTerminators) {
  gCreator.Assign("Nightly", DynString::kAll);
  EXPECT_EQ(0u, Write("CDC"));
  EXPECT_EQ(std::string("VANTOREX\x04Nightly\0\0CDC\0\x0D\x0C\x0B\x5A", 26),
            collector_.bytes);
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
  int blocks = 0;
  for (RecordBlock* b = gStore.head; b != nullptr; b = b->next) ++blocks;
  ASSERT_EQ(3, blocks);

  EXPECT_EQ(0u, Write("C"));
  EXPECT_EQ(expected.size(), collector_.bytes.size());
  EXPECT_TRUE(expected == collector_.bytes);
  EXPECT_EQ(5 + 4, collector_.writes);  // one write per header field and block
  EXPECT_EQ(nullptr, gStore.head);
  EXPECT_EQ(nullptr, gStore.current);
}

TEST_F(WriterTest, ShortWriteReportsTwoAndReleasesTheStore) {
  // Header writes are 1 to 5; the blocks follow.
  for (int failing : {1, 3, 5, 6}) {
    ASSERT_TRUE(RecordStoreOpen());
    Fill('r', 100);
    collector_ = Collector();
    collector_.halfAt = failing;
    EXPECT_EQ(2u, Write("C")) << failing;
    EXPECT_EQ(nullptr, gStore.current);
    EXPECT_EQ(nullptr, gStore.head);
  }
}
