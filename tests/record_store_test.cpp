#include "database/record_store.h"

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

class RecordStoreTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(RecordStoreOpen()); }
  void TearDown() override { RecordStoreRelease(); }

  uint32_t Append(const char* directory, const char* name) {
    return RecordStoreAppend(directory, strlen(directory), name, strlen(name),
                             entry_);
  }

  static int ListLength() {
    int length = 0;
    for (RecordBlock* b = gStore.head; b != nullptr; b = b->next) ++length;
    return length;
  }

  platform::FindEntry entry_ = {};
};

}  // namespace

TEST_F(RecordStoreTest, RecordEndingOnTheLastByteStaysInTheBlock) {
  gStore.fill = 349979;
  EXPECT_EQ(0u, Append("C:", "a"));  // 21 bytes
  EXPECT_EQ(350000u, gStore.fill);
  EXPECT_EQ(nullptr, gStore.head);
}

TEST_F(RecordStoreTest, RecordOneByteTooLongStartsANewBlock) {
  uint8_t* first = gStore.current;
  gStore.fill = 349980;
  EXPECT_EQ(0u, Append("C:", "a"));
  ASSERT_EQ(1, ListLength());
  EXPECT_EQ(first, gStore.head->block);
  EXPECT_EQ(349980u, gStore.head->used);
  EXPECT_NE(first, gStore.current);
  EXPECT_EQ(21u, gStore.fill);
  EXPECT_EQ('C', gStore.current[0]);
}

TEST_F(RecordStoreTest, BlocksAreListedInTheOrderTheyFilled) {
  for (int i = 0; i < 3; ++i) {
    gStore.fill = 349990;
    ASSERT_EQ(0u, Append("C:", "a"));
  }
  EXPECT_EQ(3, ListLength());
  EXPECT_EQ(gStore.tail, gStore.head->next->next);
  EXPECT_EQ(nullptr, gStore.tail->next);
}

TEST_F(RecordStoreTest, RunningOutOfMemoryLeavesTheStoreWhole) {
  // The list entry, then the block, each in turn.
  for (int nth = 1; nth <= 2; ++nth) {
    uint8_t* current = gStore.current;
    gStore.fill = 349990;
    {
      FailingAllocation failing(nth);
      EXPECT_EQ(5u, Append("C:", "a")) << nth;
    }
    EXPECT_EQ(current, gStore.current);
    EXPECT_EQ(349990u, gStore.fill);
    EXPECT_EQ(0, ListLength());
  }
  // A record that still fits needs no memory and goes in.
  {
    FailingAllocation failing(1, true);
    gStore.fill = 100;
    EXPECT_EQ(0u, Append("C:", "a"));
    EXPECT_EQ(121u, gStore.fill);
  }
}

TEST(RecordStore, FirstBlockUnavailable) {
  FailingAllocation failing(1);
  EXPECT_FALSE(RecordStoreOpen());
  EXPECT_EQ(nullptr, gStore.current);
}
