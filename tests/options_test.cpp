#include "app/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Parsed {
  RunRequest request;
  DynString creator;
  DynString description;
};

void Parse(std::vector<const char*> arguments, Parsed* parsed) {
  arguments.insert(arguments.begin(), "kavelo");
  ParseCommandLine(static_cast<int>(arguments.size()), arguments.data(),
                   &parsed->request, &parsed->creator, &parsed->description);
}

}  // namespace

TEST(ParseCommandLine, DriveAndPathValues) {
  struct Case {
    std::vector<const char*> arguments;
    const char* drives;
    const char* path;
  };
  const Case cases[] = {
      {{"-lcd"}, "cd", ""},
      {{"-L", "CD"}, "CD", ""},
      {{"/L", "-x"}, "-x", ""},  // a separate value may begin with - or /
      {{"-Dout.dbs"}, "", "out.dbs"},
      {{"/d", "/tmp/x.dbs"}, "", "/tmp/x.dbs"},
      {{"-Lab", "-Lcd"}, "cd", ""},  // the last one wins
      {{"-Lab", "-L"}, "ab", ""},    // -L last: taken as not given
      {{"-D"}, "", ""},
      {{"Lcd", "cd", "-"}, "", ""},  // no option at all
      {{"-Xcd", "-"}, "", ""},
  };
  for (const Case& c : cases) {
    Parsed parsed;
    Parse(c.arguments, &parsed);
    EXPECT_STREQ(c.drives, parsed.request.driveSpecification) << c.arguments[0];
    EXPECT_STREQ(c.path, parsed.request.databasePath) << c.arguments[0];
  }
}

TEST(ParseCommandLine, QuietAndHelpIgnoreTheRest) {
  const std::vector<const char*> quiet[] = {{"-Q"}, {"/Q"}, {"-Quiet"}, {"/q"}};
  for (const auto& arguments : quiet) {
    Parsed parsed;
    Parse(arguments, &parsed);
    EXPECT_TRUE(parsed.request.quiet) << arguments[0];
    EXPECT_FALSE(parsed.request.help);
  }
  Parsed parsed;
  Parse({"-Lc", "-Help", "-Q"}, &parsed);
  EXPECT_TRUE(parsed.request.help);
  EXPECT_TRUE(parsed.request.quiet);
}

TEST(ParseCommandLine, HeaderTexts) {
  Parsed parsed;
  Parse({"-Tc", "Nightly", "-TdAll drives"}, &parsed);
  EXPECT_STREQ("Nightly", parsed.creator.Text());
  EXPECT_STREQ("All drives", parsed.description.Text());

  Parsed attached;
  Parse({"-TcNightly", "-tC", "Again"}, &attached);
  EXPECT_STREQ("Again", attached.creator.Text());

  Parsed ignored;
  Parse({"-Tx", "Nightly", "-T", "-LC"}, &ignored);
  EXPECT_STREQ("", ignored.creator.Text());
  EXPECT_STREQ("C", ignored.request.driveSpecification);  // nothing consumed

  Parsed last;
  Parse({"-TcFirst", "-Tc"}, &last);
  EXPECT_STREQ("", last.creator.Text());
  EXPECT_EQ(0u, last.creator.Length());
}

TEST(ParseCommandLine, ValuesLongerThanTheirBuffers) {
  std::string drives39(39, 'C');
  std::string drives40(40, 'C');
  std::string path259(259, 'p');
  std::string path260(260, 'p');

  Parsed fits;
  Parse({"-L", drives39.c_str(), "-D", path259.c_str()}, &fits);
  EXPECT_EQ(drives39, fits.request.driveSpecification);
  EXPECT_EQ(path259, fits.request.databasePath);
  EXPECT_EQ(nullptr, fits.request.overlongDriveSpecification);
  EXPECT_EQ(nullptr, fits.request.overlongDatabasePath);

  Parsed over;
  Parse({"-L", drives40.c_str(), "-D", path260.c_str()}, &over);
  EXPECT_STREQ("", over.request.driveSpecification);
  EXPECT_STREQ("", over.request.databasePath);
  EXPECT_EQ(drives40, over.request.overlongDriveSpecification);
  EXPECT_EQ(path260, over.request.overlongDatabasePath);

  Parsed mended;
  Parse({"-L", drives40.c_str(), "-Lcd"}, &mended);
  EXPECT_STREQ("cd", mended.request.driveSpecification);
  EXPECT_EQ(nullptr, mended.request.overlongDriveSpecification);
}
