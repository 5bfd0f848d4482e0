// What both reference walkers write: kavelo's records, packed into blocks of
// 350000 bytes, and its stored times from 100 ns ticks since 1601.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ref {

constexpr uint32_t kBlockSize = 350000;
constexpr uint64_t kTicksPerSecond = 10000000;
constexpr int64_t kSeconds1601To1970 = 11644473600LL;
constexpr int64_t kSeconds1900To1970 = 2208988800LL;
constexpr int64_t kLatest32BitTime = 2147483647;

inline void PutUint32(uint32_t value, uint8_t* out) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

// A time as kavelo stores it, `bias` seconds east of UTC: 0 for a local
// reading before 1900, -1 outside 1970..2038 in UTC or local.
inline int32_t StoredTime(uint64_t ticks, int64_t bias) {
  if (ticks >> 63) return -1;
  int64_t utc =
      static_cast<int64_t>(ticks / kTicksPerSecond) - kSeconds1601To1970;
  int64_t local = utc + bias;
  if (local < -kSeconds1900To1970) return 0;
  if (utc < 0 || utc > kLatest32BitTime || local > kLatest32BitTime) return -1;
  return static_cast<int32_t>(utc);
}

// Records gathered in one block, written whole by `write` when the next
// would not fit, and at the end.
class RecordBlocks {
 public:
  using Write = void (*)(const void* bytes, size_t count);
  explicit RecordBlocks(Write write) : write_(write) {}

  // The record of `name` in `directory`: its path, the three stored times
  // (last write, creation, last access) and the size.
  void Add(const char* directory, size_t length, const char* name,
           size_t nameLength, const int32_t times[3], uint32_t size) {
    auto recordSize = static_cast<uint32_t>(length + nameLength + 18);
    if (fill_ + recordSize > kBlockSize && fill_ != 0) {
      write_(block_, fill_);
      fill_ = 0;
    }
    uint8_t* out = block_ + fill_;
    memcpy(out, directory, length);
    out += length;
    *out++ = '\\';
    memcpy(out, name, nameLength + 1);
    out += nameLength + 1;
    for (int i = 0; i < 3; ++i) {
      PutUint32(static_cast<uint32_t>(times[i]), out + 4 * i);
    }
    PutUint32(size, out + 12);
    fill_ += recordSize;
  }

  void Finish() {
    if (fill_ != 0) write_(block_, fill_);
    fill_ = 0;
  }

 private:
  Write write_;
  uint32_t fill_ = 0;
  uint8_t block_[kBlockSize];
};

}  // namespace ref
