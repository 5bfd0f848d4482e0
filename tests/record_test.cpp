#include "database/record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using platform::kTicksPerSecond;

// Ticks of a count of seconds since 1970 UTC.
uint64_t TicksOf(int64_t unixSeconds) {
  return platform::Ticks(platform::FileTimeFromUnix(unixSeconds));
}

}  // namespace

TEST(EncodeFileTime, RangesOfA32BitTime) {
  struct Case {
    int64_t unixSeconds;
    int64_t bias;
    int32_t expected;
  };
  const Case cases[] = {
      {0, 0, 0},
      {1700000000, 0, 1700000000},
      {1700000000, 3600, 1700000000},  // the bias never shifts the result
      {1700000000, -18000, 1700000000},
      {-1, 0, -1},                  // a second before 1970 UTC
      {-157766400, 0, -1},          // 1965
      {-3600, 7200, -1},            // local 1970, UTC 1969
      {3600, -7200, 3600},          // local 1969, UTC 1970: kept
      {2147483647, 0, 2147483647},  // 2038-01-19 03:14:07 UTC
      {2147483648, 0, -1},
      {2147483647, -18000, 2147483647},  // west: local reading earlier
      {2147483647 - 3600, 3600, 2147483647 - 3600},
      {2147483647 - 3599, 3600, -1},   // east: local reading past 2038
      {-2208988800, 0, -1},            // 1900-01-01 00:00:00 local
      {-2208988801, 0, 0},             // 1899-12-31 23:59:59 local
      {-2208988800 - 1800, 3600, -1},  // UTC 1899, local 1900
      {-2208988800 + 1800, -3600, 0},  // UTC 1900, local 1899
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected,
              record::EncodeFileTime(TicksOf(c.unixSeconds), c.bias))
        << c.unixSeconds << " bias " << c.bias;
  }
}

TEST(EncodeFileTime, EpochsAndFractions) {
  EXPECT_EQ(0, record::EncodeFileTime(0, 0));  // 1601: before 1900
  EXPECT_EQ(0, record::EncodeFileTime(0, -3600));
  EXPECT_EQ(0, record::EncodeFileTime(1000, 3600));
  // Milliseconds are dropped, never rounded.
  EXPECT_EQ(1, record::EncodeFileTime(TicksOf(1) + kTicksPerSecond - 1, 0));
  // Ticks that FileTimeToSystemTime refuses.
  EXPECT_EQ(-1, record::EncodeFileTime(0x8000000000000000ull, 0));
  EXPECT_EQ(-1, record::EncodeFileTime(0xFFFFFFFFFFFFFFFFull, 0));
  // Times from the file system far outside FILETIME's range: the year
  // 60,000 and the latest a 64-bit count can say, then the earliest.
  EXPECT_EQ(-1, record::EncodeFileTime(TicksOf(1831448332800), 0));
  EXPECT_EQ(-1, record::EncodeFileTime(TicksOf(INT64_MAX), 0));
  EXPECT_EQ(0, record::EncodeFileTime(TicksOf(INT64_MIN), 0));
}

TEST(LocalBiasSeconds, FromOneConversion) {
  platform::FileTime utc = platform::FileTimeFromUnix(1700000000);
  platform::FileTime east = platform::FileTimeFromUnix(1700000000 + 7200);
  platform::FileTime west = platform::FileTimeFromUnix(1700000000 - 18000);
  EXPECT_EQ(7200, record::LocalBiasSeconds(utc, east));
  EXPECT_EQ(-18000, record::LocalBiasSeconds(utc, west));
  EXPECT_EQ(0x019DB1DEu, platform::FileTimeFromUnix(0).high);
  EXPECT_EQ(0xD53E8000u, platform::FileTimeFromUnix(0).low);
}

TEST(BiasProbe, ClockThatTimeCannotExpressGivesDefinedProbe) {
  EXPECT_EQ(platform::Ticks(platform::FileTimeFromUnix(0)),
            platform::Ticks(record::BiasProbe(-1)));
  EXPECT_EQ(platform::Ticks(platform::FileTimeFromUnix(1700000000)),
            platform::Ticks(record::BiasProbe(1700000000)));
  // A 32-bit clock past 2038 reads negative: still a valid file time.
  EXPECT_EQ(116444736000000000ull - 20000000ull,
            platform::Ticks(record::BiasProbe(-2)));
}

TEST(RecordEncoding, PathTimesAndSize) {
  platform::FindEntry entry = {};
  entry.lastWriteTime = platform::FileTimeFromUnix(0x01020304);
  entry.creationTime = platform::FileTimeFromUnix(0x11223344);
  entry.lastAccessTime = {0, 0};  // 1601: stored as 0
  entry.sizeHigh = 1;             // 5 GiB: only the low 32 bits count
  entry.sizeLow = 0x40000000;

  std::vector<uint8_t> out(record::Size(7, 5));
  record::Encode("C:\\Docs", 7, "a.txt", 5, entry, 3600, out.data());
  const uint8_t expected[] = {
      'C',  ':',  '\\', 'D',  'o', 'c',  's',  '\\', 'a',
      '.',  't',  'x',  't',  0,   0x04, 0x03, 0x02, 0x01,  // last-write
      0x44, 0x33, 0x22, 0x11,                               // creation
      0x00, 0x00, 0x00, 0x00,                               // last-access
      0x00, 0x00, 0x00, 0x40,                               // size
  };
  ASSERT_EQ(sizeof expected, out.size());
  EXPECT_EQ(0, memcmp(expected, out.data(), out.size()));

  entry.lastWriteTime = platform::FileTimeFromUnix(-157766400);  // 1965
  record::Encode("C:", 2, "a", 1, entry, 0, out.data());
  EXPECT_EQ(21u, record::Size(2, 1));
  const uint8_t shortRecord[] = {'C',  ':',  '\\', 'a', 0,
                                 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(0, memcmp(shortRecord, out.data(), sizeof shortRecord));
}
