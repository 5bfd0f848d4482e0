// The file times of the platform layer, as Win32's FILETIME holds them, and
// their conversion from POSIX times: plain values, no system call.
#pragma once

#include <cstdint>

namespace platform {

// 100 ns ticks since 1601-01-01 00:00:00 UTC, split as in FILETIME.
struct FileTime {
  uint32_t low;
  uint32_t high;
};

constexpr uint64_t kTicksPerSecond = 10000000;
// From 1601-01-01 to 1970-01-01, the epoch of the database's times.
constexpr int64_t kSeconds1601To1970 = 11644473600;

inline uint64_t Ticks(const FileTime& time) {
  return (static_cast<uint64_t>(time.high) << 32) | time.low;
}

inline FileTime FileTimeOfTicks(uint64_t ticks) {
  return {static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32)};
}

// The file time of `seconds` and `nanoseconds` since 1970 UTC.  Before 1601
// gives 1601 itself (FILETIME has nothing earlier); a time too late for the
// 63 bits that FileTimeToSystemTime accepts gives the top bit set, which no
// conversion accepts.
inline FileTime FileTimeFromUnix(int64_t seconds, uint32_t nanoseconds = 0) {
  constexpr int64_t kLatest =
      static_cast<int64_t>(0x7FFFFFFFFFFFFFFFull / kTicksPerSecond) -
      kSeconds1601To1970 - 1;
  if (seconds < -kSeconds1601To1970) return {0, 0};
  if (seconds > kLatest) return FileTimeOfTicks(0x8000000000000000ull);
  return FileTimeOfTicks(static_cast<uint64_t>(seconds + kSeconds1601To1970) *
                             kTicksPerSecond +
                         nanoseconds / 100);
}

}  // namespace platform
