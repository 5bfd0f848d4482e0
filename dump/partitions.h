// Records of a comparison whose orders differ, spread by their path's hash
// over partitions of a scratch file: every copy of a path, from either
// side, lands in one partition, small enough to be paired in memory.  Each
// side of a partition is a stream of chunks, read back in the order its
// records came.
#pragma once

#include <cstddef>
#include <cstdint>

#include "database/reader.h"
#include "dump/pending.h"
#include "dump/runs.h"
#include "platform/platform.h"

class PartitionFile {
 public:
  // `partitions` (a power of two) of each side, each written through a
  // buffer of `chunkBytes` (a multiple of 8).  The buffers are the caller's:
  // BufferBytes() of them.  A file at a `level` past 0 splits one partition
  // of the level before, by other bits of the hash.
  PartitionFile(size_t partitions, size_t chunkBytes, unsigned level = 0)
      : partitions_(partitions), chunkBytes_(chunkBytes), level_(level) {
    while (size_t{1} << bitsPerLevel_ < partitions) ++bitsPerLevel_;
  }
  ~PartitionFile();
  PartitionFile(const PartitionFile&) = delete;
  PartitionFile& operator=(const PartitionFile&) = delete;

  // Creates the scratch file.  False on a fault.
  bool Start(char* buffers);
  size_t BufferBytes() const { return 2 * partitions_ * chunkBytes_; }
  size_t Partitions() const { return partitions_; }
  size_t ChunkBytes() const { return chunkBytes_; }
  unsigned Level() const { return level_; }
  // The bits of a hash this level and those before it take.
  unsigned BitsUsed() const { return (level_ + 1) * bitsPerLevel_; }
  size_t PartitionOf(uint64_t hash) const {
    return static_cast<size_t>(hash >> (level_ * bitsPerLevel_)) &
           (partitions_ - 1);
  }
  // Appends `record` to its partition's stream of `side`, as a
  // PendingEntry followed by its path.  False once a write failed.
  bool Put(DiffSide side, const DatabaseRecord& record, uint64_t hash);
  // Writes what the buffers hold: they are no longer used.  False on a
  // fault.
  bool Finish();
  // Closes the scratch file, which goes with its bytes.
  void Close();
  // The bytes of one side of one partition.
  uint64_t StreamBytes(DiffSide side, size_t partition) const {
    return streamBytes_[side * partitions_ + partition];
  }
  // The bytes written to the scratch file.
  uint64_t Size() const { return written_; }
  DiffFault Fault() const { return fault_; }

  // The entries of one side of one partition, in the order they came.
  class Reader {
   public:
    Reader(const PartitionFile& file, DiffSide side, size_t partition);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    // The next entry, valid until the next call; null at the end or on a
    // fault (then Fault()).
    const PendingEntry* Next();
    // Every entry from the start, laid end to end at `to` (room for
    // StreamBytes()).  False on a fault.
    bool ReadAll(char* to);
    DiffFault Fault() const { return fault_; }

   private:
    bool Fill();
    bool Copy(char* to, size_t count);

    const PartitionFile& file_;
    size_t stream_;
    uint32_t chunk_;
    char* buffer_ = nullptr;
    size_t begin_ = 0;
    size_t end_ = 0;
    // An entry that spans chunks, put together.
    char* whole_ = nullptr;
    size_t wholeSize_ = 0;
    DiffFault fault_ = kDiffFine;
  };

 private:
  static constexpr uint32_t kNoChunk = 0xFFFFFFFF;

  bool Write(size_t stream, const void* bytes, size_t count);
  bool ReadChunk(size_t stream, uint32_t chunk, char* to,
                 uint32_t* length) const;
  bool Flush(size_t stream);

  size_t partitions_;
  size_t chunkBytes_;
  unsigned level_;
  unsigned bitsPerLevel_ = 0;
  platform::FileHandle* file_ = nullptr;
  // Each stream's buffer, and the bytes it holds.
  char* buffers_ = nullptr;
  uint32_t* used_ = nullptr;
  // Each stream's chunks: its first and last, and after each chunk the
  // next of its stream; the last one's length.
  uint32_t* first_ = nullptr;
  uint32_t* last_ = nullptr;
  uint32_t* lastLength_ = nullptr;
  uint64_t* streamBytes_ = nullptr;
  uint32_t* next_ = nullptr;
  uint32_t nextRoom_ = 0;
  uint32_t chunks_ = 0;
  uint64_t written_ = 0;
  DiffFault fault_ = kDiffFine;
};
