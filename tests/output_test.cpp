#include "dump/output.h"

#include <gtest/gtest.h>

#include <string>

TEST(FormatTime, CalendarSamples) {
  struct Case {
    int32_t time;
    const char* text;
  };
  const Case cases[] = {
      {0, "0"},    // stored for "before 1900"
      {-1, "-1"},  // stored for "out of range"
      {1, "1970-01-01T00:00:01Z"},
      {-2, "1969-12-31T23:59:58Z"},
      {68169600, "1972-02-29T00:00:00Z"},
      {946684799, "1999-12-31T23:59:59Z"},
      {946684800, "2000-01-01T00:00:00Z"},
      {951868800, "2000-03-01T00:00:00Z"},
      {1714564800, "2024-05-01T12:00:00Z"},
      {2147483647, "2038-01-19T03:14:07Z"},
      {-2147483647 - 1, "1901-12-13T20:45:52Z"},
  };
  for (const Case& c : cases) {
    char text[kTimeTextSize];
    EXPECT_EQ(c.text, std::string(text, FormatTime(c.time, false, text)));
  }
  char text[kTimeTextSize];
  EXPECT_EQ("-2147483648",
            std::string(text, FormatTime(-2147483647 - 1, true, text)));
  EXPECT_EQ("1714564800",
            std::string(text, FormatTime(1714564800, true, text)));
}
