// One record per file, as the database file stores it:
//   path (directory, `\`, name, NUL), last-write, creation and last-access
//   times (signed 32-bit seconds since 1970 UTC), low 32 bits of the size,
// all numbers little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace record {

// Bytes a record takes besides the directory and the name: `\`, NUL and
// four 32-bit fields.
constexpr uint32_t kOverhead = 18;

// Local wall-clock readings before 1900 are stored as this.
constexpr int32_t kBefore1900 = 0;
// Times a 32-bit count of seconds since 1970 cannot hold are stored as this.
constexpr int32_t kUnrepresentable = -1;

constexpr uint32_t Size(size_t directoryLength, size_t nameLength) {
  return static_cast<uint32_t>(directoryLength + nameLength + kOverhead);
}

// The stored form of a file time (100 ns ticks since 1601 UTC):
//   0   when the local reading (the time plus `localBiasSeconds`) lies
//       before 1900;
//   -1  when the time lies before 1970-01-01 00:00:00 UTC, or after
//       2038-01-19 03:14:07 in UTC or as the local reading;
//   otherwise the true count of seconds since 1970 UTC, milliseconds dropped.
int32_t EncodeFileTime(uint64_t ticks, int64_t localBiasSeconds);

// Seconds the local conversion adds to UTC, from one conversion's input and
// output.
int64_t LocalBiasSeconds(const platform::FileTime& utc,
                         const platform::FileTime& local);

// The file time to take the run's local bias from: the clock's reading, or
// 1970 when `time` could not express the clock (-1).  Any date serves, as the
// bias in effect now applies to all of them.
platform::FileTime BiasProbe(int64_t clock);

// File time of a count of seconds since 1970 UTC.
platform::FileTime FileTimeFromUnix(int64_t seconds);

uint64_t Ticks(const platform::FileTime& time);

// Writes the record of file `name` in `directory` to `out`, which has room
// for Size(directoryLength, nameLength) bytes.
void Encode(const char* directory, size_t directoryLength, const char* name,
            size_t nameLength, const platform::FindEntry& entry,
            int64_t localBiasSeconds, uint8_t* out);

void PutUint32(uint32_t value, uint8_t* out);

}  // namespace record
