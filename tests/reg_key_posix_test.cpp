// RegKey over the POSIX port's registry file.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "support/reg_key.h"
#include "tests/registry_file_fixture.h"

namespace {

class RegKeyPosix : public RegistryFileTest {};

}  // namespace

TEST_F(RegKeyPosix, QueryStringSizes) {
  Registry(
      std::string("REGEDIT4\n\n") + kDatabaseKey +
      "\"Ten\"=\"0123456789\"\n"
      "\"Bare\"=hex:63,64\n"
      "\"Inner\"=hex:61,00,62\n"
      "\"Full\"=hex:" +
      [] {
        std::string list;
        for (int i = 0; i < 2048; ++i) list += i ? ",41" : "41";
        return list;
      }() +
      "\n\"Over\"=hex:" +
      [] {
        std::string list;
        for (int i = 0; i < 2049; ++i) list += i ? ",42" : "42";
        return list;
      }() +
      "\n");
  RegKey key;
  ASSERT_EQ(0u, key.Open(platform::CurrentUserRoot(),
                         "Software\\Pelmar\\Database", 0x69, nullptr));
  DynString value;
  EXPECT_EQ(11u, key.QueryString("Ten", &value));
  EXPECT_STREQ("0123456789", value.Text());
  EXPECT_EQ(2u, key.QueryString("bare", &value));  // names ignore case
  EXPECT_STREQ("cd", value.Text());
  EXPECT_EQ(3u, key.QueryString("Inner", &value));
  EXPECT_STREQ("a", value.Text());
  EXPECT_EQ(2048u, key.QueryString("Full", &value));
  EXPECT_EQ(2048u, value.Length());
  EXPECT_EQ(0u, key.QueryString("Over", &value));
  EXPECT_STREQ("", value.Text());
  EXPECT_EQ(0u, key.QueryString("Missing", &value));
  EXPECT_STREQ("", value.Text());
}

TEST_F(RegKeyPosix, OpeningAndCreatingKeys) {
  Registry("REGEDIT4\n");
  RegKey key;
  EXPECT_EQ(2u, key.Open(platform::CurrentUserRoot(),
                         "Software\\Pelmar\\Database", 0x69, nullptr));
  DynString value;
  EXPECT_EQ(0u, key.QueryString("Drives", &value));
  // Bit 0 clear creates the key, in memory only.
  EXPECT_EQ(0u, key.Open(platform::CurrentUserRoot(), "Software\\Pelmar\\New",
                         0x1FE, nullptr));
  EXPECT_EQ(0u, key.Open(platform::CurrentUserRoot(), "Software\\Pelmar\\New",
                         0x69, nullptr));
  FILE* file = fopen(dir_.Join("user.reg").c_str(), "r");
  char buffer[64] = {};
  fread(buffer, 1, sizeof buffer - 1, file);
  fclose(file);
  EXPECT_STREQ("REGEDIT4\n", buffer);
}
