// Settings over the POSIX port's registry file and real files.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/options.h"
#include "app/settings.h"
#include "platform/platform.h"
#include "platform/posix/reg_file.h"
#include "support/reg_key.h"

using platform::posix::RegistryKeys;
using platform::posix::RegistryValues;
using platform::posix::ParseRegistryFile;

namespace {

// A temporary directory with a registry file of the test's own.
class PosixSettings : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kavelo-settings-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
  }
  void TearDown() override {
    unsetenv("KAVELO_REGISTRY");
    unsetenv("KAVELO_DRIVES");
    char message[256];
    platform::Initialize(message, sizeof message);
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(0, system(command.c_str()));
  }

  void Registry(const std::string& text) {
    std::string path = dir_ + "/user.reg";
    FILE* file = fopen(path.c_str(), "w");
    fputs(text.c_str(), file);
    fclose(file);
    setenv("KAVELO_REGISTRY", path.c_str(), 1);
    unsetenv("KAVELO_DRIVES");
    char message[256];
    ASSERT_TRUE(platform::Initialize(message, sizeof message)) << message;
  }

  std::string dir_;
};

const char kKey[] = "[HKEY_CURRENT_USER\\Software\\Pelmar\\Database]\n";

}  // namespace

TEST_F(PosixSettings, QueryStringSizes) {
  Registry(std::string("REGEDIT4\n\n") + kKey +
           "\"Ten\"=\"0123456789\"\n"
           "\"Bare\"=hex:63,64\n"
           "\"Inner\"=hex:61,00,62\n"
           "\"Full\"=hex:" + [] {
             std::string list;
             for (int i = 0; i < 2048; ++i) list += i ? ",41" : "41";
             return list;
           }() + "\n\"Over\"=hex:" + [] {
             std::string list;
             for (int i = 0; i < 2049; ++i) list += i ? ",42" : "42";
             return list;
           }() + "\n");
  RegKey key;
  ASSERT_EQ(0u, key.Open(platform::CurrentUserRoot(), "Software\\Pelmar\\Database",
                         0x69, nullptr));
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

TEST_F(PosixSettings, OpeningAndCreatingKeys) {
  Registry("REGEDIT4\n");
  RegKey key;
  EXPECT_EQ(2u, key.Open(platform::CurrentUserRoot(), "Software\\Pelmar\\Database",
                         0x69, nullptr));
  DynString value;
  EXPECT_EQ(0u, key.QueryString("Drives", &value));
  // Bit 0 clear creates the key, in memory only.
  EXPECT_EQ(0u, key.Open(platform::CurrentUserRoot(), "Software\\Pelmar\\New",
                         0x1FE, nullptr));
  EXPECT_EQ(0u, key.Open(platform::CurrentUserRoot(), "Software\\Pelmar\\New",
                         0x69, nullptr));
  FILE* file = fopen((dir_ + "/user.reg").c_str(), "r");
  char buffer[64] = {};
  fread(buffer, 1, sizeof buffer - 1, file);
  fclose(file);
  EXPECT_STREQ("REGEDIT4\n", buffer);
}

TEST_F(PosixSettings, PathExists) {
  std::string file = dir_ + "/file.txt";
  std::string plain = dir_ + "/plain";
  std::string readOnly = dir_ + "/readonly";
  fclose(fopen(file.c_str(), "w"));
  ASSERT_EQ(0, mkdir(plain.c_str(), 0755));
  ASSERT_EQ(0, mkdir(readOnly.c_str(), 0555));
  EXPECT_TRUE(PathExists(file.c_str()));
  EXPECT_FALSE(PathExists(plain.c_str()));
  EXPECT_TRUE(PathExists(readOnly.c_str()));  // read-only: attributes 17
  EXPECT_FALSE(PathExists((dir_ + "/missing").c_str()));
  EXPECT_FALSE(PathExists(""));
}

TEST_F(PosixSettings, StoredValuesAndDefaults) {
  std::string existing = dir_ + "/existing.dbs";
  fclose(fopen(existing.c_str(), "w"));
  Registry(std::string("REGEDIT4\n") + kKey + "\"DatabaseFile\"=\"" + existing +
           "\"\n\"Drives\"=\"" + std::string(40, 'c') + "\"\n");
  char path[platform::kPathSize] = {};
  char drives[kDriveSpecificationSize] = {};
  DynString overlong;
  EXPECT_FALSE(ReadSettings("/opt/bin/kavelo", path, drives, &overlong));
  EXPECT_EQ(existing, path);
  EXPECT_EQ(std::string(40, 'c'), overlong.Text());
  EXPECT_EQ(0, access(existing.c_str(), F_OK));  // not tested, not deleted

  Registry(std::string("REGEDIT4\n") + kKey + "\"DatabaseFile\"=\"/" +
           std::string(300, 'p') + "\"\n");
  char drives2[kDriveSpecificationSize] = {};
  char path2[platform::kPathSize] = {};
  EXPECT_TRUE(ReadSettings("/opt/bin/kavelo", path2, drives2, &overlong));
  EXPECT_STREQ("/opt/bin/FILES.DBS", path2);
  EXPECT_STREQ("1", drives2);
}

TEST(RegistryFile, ParsesValuesAndReportsLines) {
  RegistryKeys keys;
  std::string error;
  ASSERT_TRUE(ParseRegistryFile(
      "Windows Registry Editor Version 5.00\r\n\r\n"
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
      {"[HKEY_CURRENT_USER\\X]\n", "Registry file u.reg, line 1: the file does "
                                   "not start with REGEDIT4.\n"},
      {"REGEDIT4\n\"A\"=\"b\"\n", "Registry file u.reg, line 2: a value stands "
                                  "outside any key.\n"},
      {"REGEDIT4\n[K]\n\"A\"=hex:6g\n",
       "Registry file u.reg, line 3: \"6g\" is not a hex byte.\n"},
      {"REGEDIT4\n[K]\n\"A\"=\"open\n",
       "Registry file u.reg, line 3: the string value does not end.\n"},
      {"REGEDIT4\n[K\n", "Registry file u.reg, line 2: the key does not end "
                         "in \"]\".\n"},
  };
  for (const auto& [text, message] : bad) {
    EXPECT_FALSE(ParseRegistryFile(text, "u.reg", &keys, &error)) << text;
    EXPECT_EQ(message, error);
  }
}
