#include "database/entry_name.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

platform::FindEntry Entry(const char* name, const char* shortName) {
  platform::FindEntry entry = {};
  strcpy(entry.name, name);
  entry.nameLength = static_cast<uint32_t>(strlen(name));
  strcpy(entry.alternateName, shortName);
  return entry;
}

std::string NameOf(const platform::FindEntry& entry) {
  size_t length;
  const char* name = EntryName(entry, &length);
  return std::string(name, length);
}

}  // namespace

// An ANSI search spells a name outside the code page with `?`: only the
// short name then names the file.
TEST(EntryName, ShortNameStandsInForAnUnspellableName) {
  platform::FindEntry unspellable = Entry("??.txt", "6E2C~1.TXT");
  EXPECT_EQ("6E2C~1.TXT", NameOf(unspellable));
  platform::FindEntry plain = Entry("Long name.txt", "LONGNA~1.TXT");
  EXPECT_EQ("Long name.txt", NameOf(plain));
  platform::FindEntry noShortName = Entry("what?", "");
  EXPECT_EQ("what?", NameOf(noShortName));
}
