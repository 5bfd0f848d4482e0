// What the reference walkers write: kavelo's header and records, packed
// into blocks of 350000 bytes, and its stored times from 100 ns ticks since
// 1601.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
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

// The database's header as the benchmark writes it: signature and mark,
// empty creator and description, the one drive letter, the database time.
constexpr size_t kHeaderSize = 17;

inline void PutHeader(char letter, uint32_t time, uint8_t out[kHeaderSize]) {
  const uint8_t fixed[13] = {'V', 'A', 'N', 'T',
                             'O', 'R', 'E', 'X',
                             4,   0,   0,   static_cast<uint8_t>(letter),
                             0};
  memcpy(out, fixed, sizeof fixed);
  PutUint32(time, out + sizeof fixed);
}

// The bytes of a record whose directory's path has `length` characters and
// whose name has `nameLength`.
inline uint32_t RecordSize(size_t length, size_t nameLength) {
  return static_cast<uint32_t>(length + nameLength + 18);
}

// Puts the record of `name` in `directory` at `out`: its path, the three
// stored times (last write, creation, last access) and the size.
inline void PutRecord(const char* directory, size_t length, const char* name,
                      size_t nameLength, const int32_t times[3], uint32_t size,
                      uint8_t* out) {
  memcpy(out, directory, length);
  out += length;
  *out++ = '\\';
  memcpy(out, name, nameLength + 1);
  out += nameLength + 1;
  for (int i = 0; i < 3; ++i) {
    PutUint32(static_cast<uint32_t>(times[i]), out + 4 * i);
  }
  PutUint32(size, out + 12);
}

// Where the records' bytes go: the output file.
using Write = void (*)(const void* bytes, size_t count);

// Records gathered in one block, written whole by `write` when the next
// would not fit, and at the end.
class RecordBlocks {
 public:
  explicit RecordBlocks(Write write) : write_(write) {}

  void Add(const char* directory, size_t length, const char* name,
           size_t nameLength, const int32_t times[3], uint32_t size) {
    uint32_t recordSize = RecordSize(length, nameLength);
    if (fill_ + recordSize > kBlockSize && fill_ != 0) {
      write_(block_, fill_);
      fill_ = 0;
    }
    PutRecord(directory, length, name, nameLength, times, size, block_ + fill_);
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

// Records held in blocks until the end of the walk, as kavelo holds them,
// then written in one go.  False from Add when no memory is left.
class HeldRecords {
 public:
  HeldRecords() = default;
  HeldRecords(const HeldRecords&) = delete;
  HeldRecords& operator=(const HeldRecords&) = delete;
  ~HeldRecords() {
    while (first_ != nullptr) {
      Block* next = first_->next;
      free(first_);
      first_ = next;
    }
  }

  bool Add(const char* directory, size_t length, const char* name,
           size_t nameLength, const int32_t times[3], uint32_t size) {
    uint32_t recordSize = RecordSize(length, nameLength);
    if (last_ == nullptr ||
        (last_->fill + recordSize > kBlockSize && last_->fill != 0)) {
      auto* block = static_cast<Block*>(malloc(sizeof(Block)));
      if (block == nullptr) return false;
      block->next = nullptr;
      block->fill = 0;
      (last_ != nullptr ? last_->next : first_) = block;
      last_ = block;
    }
    PutRecord(directory, length, name, nameLength, times, size,
              last_->bytes + last_->fill);
    last_->fill += recordSize;
    return true;
  }

  void WriteTo(Write write) const {
    for (const Block* block = first_; block != nullptr; block = block->next) {
      write(block->bytes, block->fill);
    }
  }

 private:
  struct Block {
    Block* next;
    uint32_t fill;
    uint8_t bytes[kBlockSize];
  };
  Block* first_ = nullptr;
  Block* last_ = nullptr;
};

}  // namespace ref
