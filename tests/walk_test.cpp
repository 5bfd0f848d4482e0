#include "database/walk.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

platform::FindEntry Entry(const char* name, const char* shortName) {
  platform::FindEntry entry = {};
  strcpy(entry.name, name);
  strcpy(entry.alternateName, shortName);
  return entry;
}

}  // namespace

// An ANSI search spells a name outside the code page with `?`: only the
// short name then names the file.
TEST(EntryName, ShortNameStandsInForAnUnspellableName) {
  platform::FindEntry unspellable = Entry("??.txt", "6E2C~1.TXT");
  EXPECT_STREQ("6E2C~1.TXT", EntryName(unspellable));
  platform::FindEntry plain = Entry("Long name.txt", "LONGNA~1.TXT");
  EXPECT_STREQ("Long name.txt", EntryName(plain));
  platform::FindEntry noShortName = Entry("what?", "");
  EXPECT_STREQ("what?", EntryName(noShortName));
}
