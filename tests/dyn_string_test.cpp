#include "support/dyn_string.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/test_util.h"

TEST(DynString, NewStringReadsAsEmptyText) {
  DynString text;
  EXPECT_STREQ("", text.Text());
  EXPECT_EQ(0u, text.Length());
  EXPECT_EQ(0u, text.Capacity());
}

TEST(DynString, AssignKeepsBufferWithinGrowthMargin) {
  DynString text;
  text.Assign("abc", DynString::kAll);
  EXPECT_EQ(13u, text.Capacity());
  const char* buffer = text.Text();

  text.Assign("abcdef", DynString::kAll);
  EXPECT_EQ(buffer, text.Text());
  EXPECT_STREQ("abcdef", text.Text());
  EXPECT_EQ(13u, text.Capacity());

  text.Assign("abcdefghijklm", DynString::kAll);
  EXPECT_EQ(23u, text.Capacity());
  EXPECT_EQ(13u, text.Length());

  text.Assign("ab", DynString::kAll);
  EXPECT_EQ(12u, text.Capacity());
  EXPECT_STREQ("ab", text.Text());
}

TEST(DynString, AssignLimitsLengthAndEmpties) {
  DynString text;
  text.Assign("abcdef", 2);
  EXPECT_STREQ("ab", text.Text());
  EXPECT_EQ(2u, text.Length());

  text.Assign("", DynString::kAll);
  EXPECT_STREQ("", text.Text());
  EXPECT_EQ(10u, text.Capacity());

  text.Assign(nullptr, DynString::kAll);
  EXPECT_EQ(0u, text.Capacity());
  text.Assign("abc", 0);
  EXPECT_EQ(0u, text.Capacity());

  // Its own text, kept in the buffer and moved to a fresh one (under ASan a
  // read of the freed buffer fails the test).
  text.Assign("abcdefghijklmnopqrst", DynString::kAll);
  text.Assign(text.Text() + 2, DynString::kAll);
  EXPECT_STREQ("cdefghijklmnopqrst", text.Text());
  text.Assign(text.Text(), 3);
  EXPECT_STREQ("cde", text.Text());
}

TEST(DynString, BufferOpenedAndSettled) {
  DynString text;
  char* buffer = text.OpenBuffer(2048);
  ASSERT_NE(nullptr, buffer);
  EXPECT_EQ(2058u, text.Capacity());
  EXPECT_EQ('\0', buffer[0]);
  text.CloseBuffer(DynString::kAll);
  EXPECT_STREQ("", text.Text());
  EXPECT_EQ(2u, text.Capacity());

  buffer = text.OpenBuffer(16);
  memcpy(buffer, "hello\0world", 12);
  text.CloseBuffer(DynString::kAll);
  EXPECT_STREQ("hello", text.Text());
  EXPECT_EQ(6u, text.Capacity());

  buffer = text.OpenBuffer(16);
  memcpy(buffer, "hello", 5);
  text.CloseBuffer(3);
  EXPECT_STREQ("hel", text.Text());
  EXPECT_EQ(3u, text.Length());

  // A buffer of no bytes for a string that has none yet is a buffer still
  // (found by the fuzzer: it gave null, as if memory had run out).
  DynString empty;
  ASSERT_NE(nullptr, empty.OpenBuffer(0));
  EXPECT_TRUE(empty.CloseBuffer(0));
  EXPECT_STREQ("", empty.Text());
}

TEST(DynString, OpenBufferOfAllKeepsOrCreates) {
  DynString text;
  char* buffer = text.OpenBuffer(DynString::kAll);
  ASSERT_NE(nullptr, buffer);
  EXPECT_EQ(2u, text.Capacity());
  EXPECT_STREQ("", text.Text());

  text.Assign("abc", DynString::kAll);
  EXPECT_EQ(text.Text(), text.OpenBuffer(DynString::kAll));
  EXPECT_STREQ("abc", text.Text());
}

TEST(DynString, SettlingUnterminatedBufferStopsAtItsEnd) {
  DynString text;
  char* buffer = text.OpenBuffer(4);  // capacity 14
  memset(buffer, 'x', 14);
  text.CloseBuffer(DynString::kAll);
  EXPECT_EQ(14u, text.Length());
  EXPECT_STREQ("xxxxxxxxxxxxxx", text.Text());
}

TEST(DynString, FailedAllocationLeavesValidEmptyString) {
  DynString text;
  text.Assign("before", DynString::kAll);
  {
    FailingAllocation failing(1);
    EXPECT_FALSE(text.Assign("a longer text than before", DynString::kAll));
  }
  EXPECT_STREQ("", text.Text());
  EXPECT_EQ(0u, text.Length());
  EXPECT_EQ(0u, text.Capacity());

  {
    FailingAllocation failing(1);
    EXPECT_EQ(nullptr, text.OpenBuffer(2048));
  }
  EXPECT_STREQ("", text.Text());

  text.Assign("settle me", DynString::kAll);
  {
    FailingAllocation failing(1);
    EXPECT_FALSE(text.CloseBuffer(DynString::kAll));
  }
  EXPECT_STREQ("", text.Text());
  EXPECT_EQ(0u, text.Capacity());
  // Still usable afterwards.
  EXPECT_TRUE(text.Assign("again", DynString::kAll));
  EXPECT_STREQ("again", text.Text());
}
