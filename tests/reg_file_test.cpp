#include "platform/posix/reg_file.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

using platform::posix::ParseRegistryFile;
using platform::posix::RegistryKeys;
using platform::posix::RegistryValues;

TEST(RegistryFile, ParsesValuesAndReportsLines) {
  RegistryKeys keys;
  std::string error;
  ASSERT_TRUE(
      ParseRegistryFile("Windows Registry Editor Version 5.00\r\n\r\n"
                        "[HKEY_CURRENT_USER\\Software\\Pelmar\\Database]\r\n"
                        "\"Drives\"=\"c\\\\d\\\"e\"\r\n"
                        "; a comment\n"
                        "\"Long\"=hex:61,\\\n  62,63\n"
                        "\"Count\"=dword:0000000a\n"
                        "@=\"default\"\n",
                        "u.reg", &keys, &error))
      << error;
  const RegistryValues& values =
      keys["hkey_current_user\\software\\pelmar\\database"];
  EXPECT_EQ(std::string("c\\d\"e\0", 6), values.at("drives"));
  EXPECT_EQ("abc", values.at("Long"));
  EXPECT_EQ(std::string("\x0a\0\0\0", 4), values.at("Count"));
  EXPECT_EQ(std::string("default\0", 8), values.at(""));

  const std::pair<const char*, const char*> bad[] = {
      {"[HKEY_CURRENT_USER\\X]\n",
       "Registry file u.reg, line 1: the file does "
       "not start with REGEDIT4.\n"},
      {"REGEDIT4\n\"A\"=\"b\"\n",
       "Registry file u.reg, line 2: a value stands "
       "outside any key.\n"},
      {"REGEDIT4\n[K]\n\"A\"=hex:6g\n",
       "Registry file u.reg, line 3: \"6g\" is not a hex byte.\n"},
      {"REGEDIT4\n[K]\n\"A\"=\"open\n",
       "Registry file u.reg, line 3: the string value does not end.\n"},
      {"REGEDIT4\n[K\n",
       "Registry file u.reg, line 2: the key does not end "
       "in \"]\".\n"},
      // A quoted line cannot drive the terminal; 8-bit text stays readable.
      {"REGEDIT4\n[K]\n\"A\"=\x1b[31m\xc3\xa9\r\n",
       "Registry file u.reg, line 3: unknown value data "
       "\"\\x1b[31m\xc3\xa9\".\n"},
      {"\xEF\xBB\xBF\xEF\xBB\xBFREGEDIT4\n",
       "Registry file u.reg, line 1: the file does "
       "not start with REGEDIT4.\n"},
  };
  // A byte-order mark may stand before the header, once.
  ASSERT_TRUE(ParseRegistryFile(
      "\xEF\xBB\xBFREGEDIT4\r\n[K]\r\n\"A\"=\"b\"\r\n", "u.reg", &keys, &error))
      << error;
  EXPECT_EQ(std::string("b\0", 2), keys["K"].at("A"));
  for (const auto& [text, message] : bad) {
    EXPECT_FALSE(ParseRegistryFile(text, "u.reg", &keys, &error)) << text;
    EXPECT_EQ(message, error);
  }
}
