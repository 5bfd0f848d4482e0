// One record per file, as the database file stores it (database/format.h):
// the path (directory, `\`, name, NUL), then the times and the size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "database/format.h"
#include "platform/platform.h"

namespace record {

// Bytes a record takes besides the directory and the name: `\`, NUL and
// the numbers.
constexpr uint32_t kOverhead = 2 + format::kRecordNumbersSize;

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

// Writes the record of file `name` in `directory` to `out`, which has room
// for Size(directoryLength, nameLength) bytes.
void Encode(const char* directory, size_t directoryLength, const char* name,
            size_t nameLength, const platform::FindEntry& entry,
            int64_t localBiasSeconds, uint8_t* out);

}  // namespace record
