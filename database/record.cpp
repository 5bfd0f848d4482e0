#include "database/record.h"

#include <cstring>

#include "database/format.h"

namespace record {
namespace {

using platform::kSeconds1601To1970;
using platform::kTicksPerSecond;
using platform::Ticks;

constexpr int64_t kSeconds1900To1970 = 2208988800;
constexpr int64_t kLatest32BitTime = 2147483647;  // 2038-01-19 03:14:07

// Copies the `count` bytes of a part of a path, eight at a time: inline,
// where a call to the C runtime's memcpy for each part is a call into a DLL
// under Windows, under Wine some 30 ns, a fifth of a record's own cost.
inline uint8_t* CopyPart(uint8_t* out, const char* from, size_t count) {
  size_t done = 0;
  for (; done + 8 <= count; done += 8) {
    uint64_t word;
    memcpy(&word, from + done, sizeof word);
    memcpy(out + done, &word, sizeof word);
  }
  for (; done < count; ++done) out[done] = static_cast<uint8_t>(from[done]);
  return out + count;
}

}  // namespace

platform::FileTime BiasProbe(int64_t clock) {
  return platform::FileTimeFromUnix(clock == -1 ? 0 : clock);
}

int64_t LocalBiasSeconds(const platform::FileTime& utc,
                         const platform::FileTime& local) {
  return static_cast<int64_t>(Ticks(local) - Ticks(utc)) /
         static_cast<int64_t>(kTicksPerSecond);
}

int32_t EncodeFileTime(uint64_t ticks, int64_t localBiasSeconds) {
  // FileTimeToSystemTime refuses ticks with the top bit set.
  if (ticks >> 63) return format::kUnrepresentable;
  int64_t utc =
      static_cast<int64_t>(ticks / kTicksPerSecond) - kSeconds1601To1970;
  int64_t local = utc + localBiasSeconds;
  if (local < -kSeconds1900To1970) return format::kBefore1900;
  if (utc < 0 || utc > kLatest32BitTime || local > kLatest32BitTime) {
    return format::kUnrepresentable;
  }
  return static_cast<int32_t>(utc);
}

void Encode(const char* directory, size_t directoryLength, const char* name,
            size_t nameLength, const platform::FindEntry& entry,
            int64_t localBiasSeconds, uint8_t* out) {
  out = CopyPart(out, directory, directoryLength);
  *out++ = '\\';
  out = CopyPart(out, name, nameLength);
  *out++ = '\0';
  const platform::FileTime* times[] = {
      &entry.lastWriteTime, &entry.creationTime, &entry.lastAccessTime};
  for (const platform::FileTime* time : times) {
    format::PutUint32(
        static_cast<uint32_t>(EncodeFileTime(Ticks(*time), localBiasSeconds)),
        out);
    out += 4;
  }
  format::PutUint32(entry.sizeLow, out);
}

}  // namespace record
