#include "app/settings.h"

#include <gtest/gtest.h>

#include <string>

#include "app/options.h"

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
