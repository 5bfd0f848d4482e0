#include "support/reg_key.h"

#include <gtest/gtest.h>

TEST(AccessMask, FlagsWordToSystemMask) {
  struct Case {
    uint32_t flags;
    uint32_t mask;
  };
  const Case cases[] = {
      {0x69, 0x19},      // query, enumerate, notify; bit 0 is no right
      {0xFE, 0xF003F},   // KEY_ALL_ACCESS
      {0xFF, 0x2003F},   // not the special word: the table's union
      {0x1FE, 0x2003F},  // bit 8 (volatile) is no right either
      {0x10, 0x20019},   // KEY_READ
      {0x02, 0x20},      // KEY_CREATE_LINK
      {0x04, 0x04},     {0x80, 0x02}, {0x01, 0}, {0x100, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.mask, AccessMask(c.flags)) << std::hex << c.flags;
  }
}

TEST(RegKey, ReadingWithoutAnOpenKeyGivesEmptyText) {
  RegKey key;
  DynString value;
  value.Assign("stale", DynString::kAll);
  EXPECT_EQ(0u, key.QueryString("Drives", &value));
  EXPECT_STREQ("", value.Text());
}
