#include "app/run.h"

#include <gtest/gtest.h>

#include <string>

#include "app/options.h"
#include "app/settings.h"
#include "platform/platform.h"

namespace {

// C and E fixed, D a CD-ROM, F a network drive, Z unknown.
uint32_t FakeDriveType(const char* root) {
  switch (root[0]) {
    case 'C':
    case 'E':
      return platform::kDriveFixed;
    case 'D':
      return platform::kDriveCdrom;
    case 'F':
      return platform::kDriveRemote;
    default:
      return platform::kDriveNoRootDir;
  }
}

}  // namespace

TEST(SelectFixedDrives, KeepsFixedDrivesInListOrder) {
  char out[27];
  SelectFixedDrives("C:\\\0D:\\\0E:\\\0F:\\\0Z:\\\0", FakeDriveType, out);
  EXPECT_STREQ("CE", out);
  SelectFixedDrives("D:\\\0F:\\\0", FakeDriveType, out);
  EXPECT_STREQ("", out);
  SelectFixedDrives("", FakeDriveType, out);
  EXPECT_STREQ("", out);

  std::string all;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    all += std::string{letter, ':', '\\', '\0'};
  }
  SelectFixedDrives(all.c_str(), [](const char*) -> uint32_t {
    return platform::kDriveFixed;
  }, out);
  EXPECT_STREQ("ABCDEFGHIJKLMNOPQRSTUVWXYZ", out);
}

TEST(ResultMessage, OnlyFailuresSaySomething) {
  EXPECT_EQ(nullptr, ResultMessage(0));
  EXPECT_STREQ("Cannot create file %s.\n", ResultMessage(1));
  EXPECT_STREQ("Cannot write to file %s.\n", ResultMessage(2));
  EXPECT_EQ(nullptr, ResultMessage(4));
  EXPECT_STREQ("Cannot allocate memory.\n", ResultMessage(5));
}

TEST(LastIndexOf, Samples) {
  EXPECT_EQ(-1, LastIndexOf("kavelo", '\\'));
  EXPECT_EQ(-1, LastIndexOf("", '\\'));
  EXPECT_EQ(0, LastIndexOf("\\kavelo", '\\'));
  EXPECT_EQ(6, LastIndexOf("C:\\bin\\kavelo.exe", '\\'));
}

TEST(DefaultDatabasePath, DirectoryOfTheProgram) {
  struct Case {
    const char* program;
    char separator;
    const char* expected;
  };
  const Case cases[] = {
      {"C:\\Tools\\kavelo.exe", '\\', "C:\\Tools\\FILES.DBS"},
      {"kavelo", '\\', "FILES.DBS"},
      {"/usr/local/bin/kavelo", '/', "/usr/local/bin/FILES.DBS"},
      {"./kavelo", '/', "./FILES.DBS"},
      {"C:\\Tools\\kavelo.exe", '/', "FILES.DBS"},
  };
  for (const Case& c : cases) {
    char out[platform::kPathSize];
    DefaultDatabasePath(c.program, c.separator, out);
    EXPECT_STREQ(c.expected, out) << c.program;
  }
  // A directory that leaves no room for the name: the current directory.
  std::string deep = std::string(255, 'd') + "/kavelo";
  char out[platform::kPathSize];
  DefaultDatabasePath(deep.c_str(), '/', out);
  EXPECT_STREQ("FILES.DBS", out);
}
