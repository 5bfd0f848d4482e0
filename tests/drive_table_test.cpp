#include "platform/posix/drive_table.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

using platform::posix::DriveTable;
using platform::posix::ParseDriveTable;

TEST(DriveTable, ParsesLettersTypesAndRoots) {
  DriveTable table;
  std::string error;
  ASSERT_TRUE(
      ParseDriveTable("# drives\n"
                      "\n"
                      "C fixed /\n"
                      "d  cdrom   /media/My Disc/ \n"
                      "E\tremote\t/srv/share\r\n"
                      "   # indented comment\n"
                      "F removable /mnt/usb\n"
                      "R ramdisk /dev/shm",
                      "drives", &table, &error))
      << error;
  EXPECT_EQ(platform::kDriveFixed, table.type['C' - 'A']);
  EXPECT_EQ("", table.root['C' - 'A']);
  EXPECT_EQ(platform::kDriveCdrom, table.type['D' - 'A']);
  EXPECT_EQ("/media/My Disc", table.root['D' - 'A']);
  EXPECT_EQ(platform::kDriveRemote, table.type['E' - 'A']);
  EXPECT_EQ("/srv/share", table.root['E' - 'A']);
  EXPECT_EQ(platform::kDriveRemovable, table.type['F' - 'A']);
  EXPECT_EQ(platform::kDriveRamdisk, table.type['R' - 'A']);
  EXPECT_EQ(0u, table.type['G' - 'A']);
}

TEST(DriveTable, MalformedLinesNameFileAndLine) {
  struct Case {
    std::string text;
    const char* error;
  };
  const Case cases[] = {
      {"C fixed /\nCD fixed /x\n",
       "Drive table t, line 2: \"CD\" is not a drive letter.\n"},
      {"\n\n1 fixed /x\n",
       "Drive table t, line 3: \"1\" is not a drive letter.\n"},
      {"C floppy /x\n",
       "Drive table t, line 1: unknown drive type \"floppy\" (removable, "
       "fixed, remote, cdrom or ramdisk).\n"},
      {"C\n", "Drive table t, line 1: the drive type is missing.\n"},
      {"C fixed\n", "Drive table t, line 1: the root directory is missing.\n"},
      {"C fixed data\n",
       "Drive table t, line 1: the root directory \"data\" is not an absolute "
       "path.\n"},
      {"C fixed /a\nc fixed /b\n",
       "Drive table t, line 2: drive C is listed twice.\n"},
      // A NUL would make every path of the drive its root; other control
      // bytes are shown escaped, never passed to the terminal.
      {std::string("C fixed /a\0/b\n", 14),
       "Drive table t, line 1: the root directory \"/a\\x00/b\" holds a "
       "control character.\n"},
      {"C fixed /a\x1b[2J\x7f\n",
       "Drive table t, line 1: the root directory \"/a\\x1b[2J\\x7f\" holds a "
       "control character.\n"},
      {"C fixed /a\tb\n",
       "Drive table t, line 1: the root directory \"/a\\x09b\" holds a "
       "control character.\n"},
      {"\x1b]0;owned\x07 fixed /\n",
       "Drive table t, line 1: \"\\x1b]0;owned\\x07\" is not a drive "
       "letter.\n"},
      {"C fixed /caf\xc3\xa9\nD fl\xc3\xb6ppy /\n",
       "Drive table t, line 2: unknown drive type \"fl\xc3\xb6ppy\" "
       "(removable, "
       "fixed, remote, cdrom or ramdisk).\n"},
  };
  for (const Case& c : cases) {
    DriveTable table;
    std::string error;
    EXPECT_FALSE(ParseDriveTable(c.text, "t", &table, &error)) << c.text;
    EXPECT_EQ(c.error, error);
  }
}
