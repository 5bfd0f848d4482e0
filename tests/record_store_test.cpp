#include "database/record_store.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/test_util.h"

namespace {

class RecordStoreTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(RecordStoreOpen()); }
  void TearDown() override { RecordStoreRelease(); }

  uint32_t Append(const std::string& name) {
    return RecordStoreAppend("C:", 2, name.data(), name.size(), entry_);
  }
  // Appends one record of `size` bytes: `C:\` and a name of x's.
  uint32_t AppendOfSize(uint32_t size) {
    return Append(std::string(size - 20, 'x'));  // 20: `C:`, `\`, NUL, numbers
  }
  // The sizes of the writes a drain makes.
  std::vector<size_t> Drain() {
    EXPECT_TRUE(RecordStoreDrain(sink_.Sink()));
    std::vector<size_t> sizes;
    for (const std::string& write : sink_.writes) sizes.push_back(write.size());
    return sizes;
  }

  platform::FindEntry entry_ = {};
  CollectingSink sink_;
};

using Sizes = std::vector<size_t>;

}  // namespace

TEST_F(RecordStoreTest, RecordEndingOnTheLastByteStaysInTheBlock) {
  ASSERT_EQ(0u, AppendOfSize(349979));
  EXPECT_EQ(0u, Append("a"));  // 21 bytes
  EXPECT_EQ((Sizes{350000}), Drain());
}

TEST_F(RecordStoreTest, RecordOneByteTooLongStartsANewBlock) {
  ASSERT_EQ(0u, AppendOfSize(349980));
  EXPECT_EQ(0u, Append("a"));
  EXPECT_EQ((Sizes{349980, 21}), Drain());
  EXPECT_EQ(std::string("C:\\a\0", 5), sink_.writes[1].substr(0, 5));
}

TEST_F(RecordStoreTest, BlocksAreWrittenInTheOrderTheyFilledAndReleased) {
  for (char name : {'a', 'b', 'c'}) {
    ASSERT_EQ(0u, AppendOfSize(349990));
    ASSERT_EQ(0u, Append(std::string(1, name)));
  }
  EXPECT_EQ((Sizes{349990, 21, 349990, 21, 349990, 21}), Drain());
  EXPECT_EQ('a', sink_.writes[1][3]);
  EXPECT_EQ('b', sink_.writes[3][3]);
  EXPECT_EQ('c', sink_.writes[5][3]);
  // Drained is empty: a second drain writes nothing.
  sink_.writes.clear();
  EXPECT_TRUE(RecordStoreDrain(sink_.Sink()));
  EXPECT_TRUE(sink_.writes.empty());
}

TEST_F(RecordStoreTest, RunningOutOfMemoryLeavesTheStoreWhole) {
  ASSERT_EQ(0u, AppendOfSize(349979));
  // The list entry, then the block, each in turn.
  for (int nth = 1; nth <= 2; ++nth) {
    FailingAllocation failing(nth);
    EXPECT_EQ(5u, Append("ab")) << nth;
  }
  // A record that still fits needs no memory and goes in.
  {
    FailingAllocation failing(1, true);
    EXPECT_EQ(0u, Append("a"));
  }
  EXPECT_EQ((Sizes{350000}), Drain());
  EXPECT_EQ(std::string("C:\\a\0", 5), sink_.writes[0].substr(349979, 5));
}

TEST_F(RecordStoreTest, ShortWriteStopsTheDrain) {
  ASSERT_EQ(0u, AppendOfSize(349990));
  ASSERT_EQ(0u, Append("a"));
  sink_.shortAt = 1;
  EXPECT_FALSE(RecordStoreDrain(sink_.Sink()));
  EXPECT_EQ(1u, sink_.writes.size());
}

TEST(RecordStore, FirstBlockUnavailable) {
  {
    FailingAllocation failing(1);
    EXPECT_FALSE(RecordStoreOpen());
  }
  CollectingSink sink;
  EXPECT_TRUE(RecordStoreDrain(sink.Sink()));
  EXPECT_TRUE(sink.writes.empty());
}

TEST_F(RecordStoreTest, PastTheBudgetBlocksSpillInOrderAndTheirMemoryReturns) {
  RecordStoreSetBudget(2);
  CollectingSink spilled;
  WriteSink spill = spilled.Sink();
  RecordStoreSpillTo(&spill);
  // One record fills a block; the next retires it.  Up to c: two filled
  // blocks held, nothing spilled.
  auto block = [this](char name) {
    return Append(name + std::string(349979, 'x'));  // 350000 bytes
  };
  for (char name : {'a', 'b', 'c'}) ASSERT_EQ(0u, block(name));
  EXPECT_TRUE(spilled.writes.empty());
  {
    // From now on each block takes the memory of the one that spilled.
    FailingAllocation failing(1, true);
    for (char name : {'d', 'e', 'f'}) ASSERT_EQ(0u, block(name));
  }
  // A block the sink does not take whole (d) stays, in its place.
  spilled.shortAt = 4;
  ASSERT_EQ(0u, block('g'));
  EXPECT_EQ((Sizes{350000, 350000, 350000, 350000}), Drain());
  ASSERT_EQ(4u, spilled.writes.size());
  std::string order;
  for (size_t i = 0; i < 3; ++i) order += spilled.writes[i][3];
  for (const std::string& write : sink_.writes) order += write[3];
  EXPECT_EQ("abcdefg", order);
  RecordStoreSetBudget(kSpillBudget);
}
