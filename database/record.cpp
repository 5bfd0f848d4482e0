#include "database/record.h"

#include <cstring>

namespace record {
namespace {

constexpr uint64_t kTicksPerSecond = 10000000;
constexpr int64_t kSeconds1601To1970 = 11644473600;
constexpr int64_t kSeconds1900To1970 = 2208988800;
constexpr int64_t kLatest32BitTime = 2147483647;  // 2038-01-19 03:14:07

}  // namespace

uint64_t Ticks(const platform::FileTime& time) {
  return (static_cast<uint64_t>(time.high) << 32) | time.low;
}

platform::FileTime FileTimeFromUnix(int64_t seconds) {
  uint64_t ticks =
      static_cast<uint64_t>(seconds + kSeconds1601To1970) * kTicksPerSecond;
  return {static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32)};
}

platform::FileTime BiasProbe(int64_t clock) {
  return FileTimeFromUnix(clock == -1 ? 0 : clock);
}

int64_t LocalBiasSeconds(const platform::FileTime& utc,
                         const platform::FileTime& local) {
  return static_cast<int64_t>(Ticks(local) - Ticks(utc)) /
         static_cast<int64_t>(kTicksPerSecond);
}

int32_t EncodeFileTime(uint64_t ticks, int64_t localBiasSeconds) {
  // FileTimeToSystemTime refuses ticks with the top bit set.
  if (ticks >> 63) return kUnrepresentable;
  int64_t utc = static_cast<int64_t>(ticks / kTicksPerSecond) -
                kSeconds1601To1970;
  int64_t local = utc + localBiasSeconds;
  if (local < -kSeconds1900To1970) return kBefore1900;
  if (utc < 0 || utc > kLatest32BitTime || local > kLatest32BitTime) {
    return kUnrepresentable;
  }
  return static_cast<int32_t>(utc);
}

void PutUint32(uint32_t value, uint8_t* out) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

void Encode(const char* directory, size_t directoryLength, const char* name,
            size_t nameLength, const platform::FindEntry& entry,
            int64_t localBiasSeconds, uint8_t* out) {
  memcpy(out, directory, directoryLength);
  out += directoryLength;
  *out++ = '\\';
  memcpy(out, name, nameLength);
  out += nameLength;
  *out++ = '\0';
  const platform::FileTime* times[] = {&entry.lastWriteTime,
                                       &entry.creationTime,
                                       &entry.lastAccessTime};
  for (const platform::FileTime* time : times) {
    PutUint32(static_cast<uint32_t>(
                  EncodeFileTime(Ticks(*time), localBiasSeconds)),
              out);
    out += 4;
  }
  PutUint32(entry.sizeLow, out);
}

}  // namespace record
