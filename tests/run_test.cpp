#include "app/run.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "test_util.h"

namespace {

// C and E fixed, D a CD-ROM, F a network drive, Z unknown.
uint32_t FakeDriveType(const char* root) {
  switch (root[0]) {
    case 'C':
    case 'E': return platform::kDriveFixed;
    case 'D': return platform::kDriveCdrom;
    case 'F': return platform::kDriveRemote;
    default: return platform::kDriveNoRootDir;
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
  SelectFixedDrives(
      all.c_str(),
      [](const char*) -> uint32_t { return platform::kDriveFixed; }, out);
  EXPECT_STREQ("ABCDEFGHIJKLMNOPQRSTUVWXYZ", out);
}

TEST(ResultMessage, OnlyFailuresSaySomething) {
  EXPECT_EQ(nullptr, ResultMessage(0));
  EXPECT_STREQ("Cannot create file %s.\n", ResultMessage(1));
  EXPECT_STREQ("Cannot write to file %s.\n", ResultMessage(2));
  EXPECT_EQ(nullptr, ResultMessage(4));
  EXPECT_STREQ("Cannot allocate memory.\n", ResultMessage(5));
}

// KAVELO_THREADS, read as the run reads it: a number of any length counts.
// On one processor the workers not asked for wait for slow reads.
TEST(ReadAheadWorkers, SettingOrOnePerProcessorAtMostEight) {
  constexpr WorkersStart kNow = WorkersStart::kAtOnce;
  constexpr WorkersStart kSlow = WorkersStart::kWhenReadsSlow;
  struct Case {
    const char* setting;
    unsigned processors;
    unsigned workers;
    WorkersStart start;
  };
  const Case cases[] = {
      {nullptr, 2, 2, kNow},
      {nullptr, 64, 8, kNow},
      {nullptr, 1, 1, kSlow},
      {"0", 4, 0, kNow},
      {"1", 1, 1, kNow},
      {"3", 1, 3, kNow},
      {"99", 1, 8, kNow},
      {"00012", 1, 8, kNow},
      {"x", 2, 2, kNow},
      {"x", 1, 1, kSlow},
      {"", 2, 2, kNow},
      {"2x", 1, 1, kSlow},
      {"-1", 3, 3, kNow},
      {"000000000000003", 1, 3, kNow},  // the longest that fits a short buffer
      {"0000000000000003", 1, 3, kNow},
      {"12345678901234567890", 1, 8, kNow},
      {"00000000000000000000000000000000000000005", 1, 5, kNow},
      {"1234567890123456789x", 2, 2, kNow},
      {"1234567890123456789x", 1, 1, kSlow},
  };
  ScopedEnvironment environment;
  for (const Case& c : cases) {
    if (c.setting != nullptr) {
      environment.Set("KAVELO_THREADS", c.setting);
    } else {
      environment.Unset("KAVELO_THREADS");
    }
    WorkersStart start = c.start == kNow ? kSlow : kNow;
    EXPECT_EQ(c.workers, ReadAheadWorkers(c.processors, &start))
        << (c.setting != nullptr ? c.setting : "unset");
    EXPECT_EQ(c.start, start) << (c.setting != nullptr ? c.setting : "unset")
                              << " on " << c.processors;
  }
}
