#include "dump/partitions.h"

#include <cstring>

#include "support/memory.h"

PartitionFile::~PartitionFile() {
  memory::Release(used_);
  memory::Release(streamBytes_);
  memory::Release(first_);
  memory::Release(last_);
  memory::Release(lastLength_);
  memory::Release(next_);
  Close();
}

void PartitionFile::Close() {
  if (file_ != nullptr) platform::CloseFile(file_);
  file_ = nullptr;
}

bool PartitionFile::Start(char* buffers) {
  size_t streams = 2 * partitions_;
  buffers_ = buffers;
  streamBytes_ =
      static_cast<uint64_t*>(memory::Allocate(streams * sizeof(uint64_t)));
  used_ = static_cast<uint32_t*>(memory::Allocate(streams * sizeof(uint32_t)));
  first_ = static_cast<uint32_t*>(memory::Allocate(streams * sizeof(uint32_t)));
  last_ = static_cast<uint32_t*>(memory::Allocate(streams * sizeof(uint32_t)));
  lastLength_ =
      static_cast<uint32_t*>(memory::Allocate(streams * sizeof(uint32_t)));
  if (streamBytes_ == nullptr || used_ == nullptr || first_ == nullptr ||
      last_ == nullptr || lastLength_ == nullptr) {
    fault_ = kDiffNoMemory;
    return false;
  }
  for (size_t stream = 0; stream < streams; ++stream) {
    used_[stream] = 0;
    first_[stream] = last_[stream] = kNoChunk;
    lastLength_[stream] = 0;
    streamBytes_[stream] = 0;
  }
  file_ = platform::CreateScratchFile();
  if (file_ == nullptr) {
    fault_ = kDiffNoScratchFile;
    return false;
  }
  return true;
}

bool PartitionFile::Flush(size_t stream) {
  if (used_[stream] == 0) return true;
  if (chunks_ == nextRoom_) {
    uint32_t room = nextRoom_ == 0 ? 1024 : 2 * nextRoom_;
    auto* next =
        static_cast<uint32_t*>(memory::Allocate(room * sizeof(uint32_t)));
    if (next == nullptr) {
      fault_ = kDiffNoMemory;
      return false;
    }
    if (chunks_ > 0) memcpy(next, next_, chunks_ * sizeof(uint32_t));
    memory::Release(next_);
    next_ = next;
    nextRoom_ = room;
  }
  uint32_t chunk = chunks_++;
  uint32_t done = 0;
  if (!platform::WriteFileAt(file_, uint64_t{chunk} * chunkBytes_,
                             buffers_ + stream * chunkBytes_, used_[stream],
                             &done) ||
      done != used_[stream]) {
    fault_ = kDiffScratchWrite;
    return false;
  }
  written_ += used_[stream];
  streamBytes_[stream] += used_[stream];
  if (last_[stream] == kNoChunk) {
    first_[stream] = chunk;
  } else {
    next_[last_[stream]] = chunk;
  }
  next_[chunk] = kNoChunk;
  last_[stream] = chunk;
  lastLength_[stream] = used_[stream];
  used_[stream] = 0;
  return true;
}

bool PartitionFile::Write(size_t stream, const void* bytes, size_t count) {
  const char* from = static_cast<const char*>(bytes);
  char* buffer = buffers_ + stream * chunkBytes_;
  while (count > 0) {
    size_t room = chunkBytes_ - used_[stream];
    size_t part = room < count ? room : count;
    memcpy(buffer + used_[stream], from, part);
    used_[stream] += static_cast<uint32_t>(part);
    from += part;
    count -= part;
    if (used_[stream] == chunkBytes_ && !Flush(stream)) return false;
  }
  return true;
}

bool PartitionFile::Put(DiffSide side, const DatabaseRecord& record,
                        uint64_t hash) {
  if (fault_ != kDiffFine) return false;
  size_t stream = side * partitions_ + PartitionOf(hash);
  size_t size = PendingEntry::SizeOf(record.pathLength);
  char* buffer = buffers_ + stream * chunkBytes_;
  PendingEntry* entry;
  PendingEntry whole;
  bool fits = size <= chunkBytes_ - used_[stream];
  // The usual entry goes straight into the buffer, field by field: put
  // together elsewhere and copied, it would be read back before the
  // processor had stored it.
  entry =
      fits ? reinterpret_cast<PendingEntry*>(buffer + used_[stream]) : &whole;
  entry->hash = hash;
  entry->pathLength = record.pathLength;
  entry->lastWrite = record.lastWrite;
  entry->creation = record.creation;
  entry->lastAccess = record.lastAccess;
  entry->size = record.size;
  entry->side = side;
  entry->indexed = 0;
  entry->live = 1;
  entry->unused = 0;
  size_t padding = size - sizeof(PendingEntry) - record.pathLength;
  if (fits) {
    char* path = buffer + used_[stream] + sizeof(PendingEntry);
    memcpy(path, record.path, record.pathLength);
    memset(path + record.pathLength, 0, padding);
    used_[stream] += static_cast<uint32_t>(size);
    return used_[stream] < chunkBytes_ || Flush(stream);
  }
  static const char kPadding[8] = {};
  return Write(stream, &whole, sizeof whole) &&
         Write(stream, record.path, record.pathLength) &&
         Write(stream, kPadding, padding);
}

bool PartitionFile::Finish() {
  for (size_t stream = 0; stream < 2 * partitions_; ++stream) {
    if (!Flush(stream)) return false;
  }
  buffers_ = nullptr;
  return fault_ == kDiffFine;
}

PartitionFile::Reader::Reader(const PartitionFile& file, DiffSide side,
                              size_t partition)
    : file_(file),
      stream_(side * file.partitions_ + partition),
      chunk_(file.first_[stream_]) {}

PartitionFile::Reader::~Reader() {
  memory::Release(buffer_);
  memory::Release(whole_);
}

bool PartitionFile::Reader::Fill() {
  if (chunk_ == kNoChunk) return false;
  if (buffer_ == nullptr) {
    buffer_ = static_cast<char*>(memory::Allocate(file_.chunkBytes_));
    if (buffer_ == nullptr) {
      fault_ = kDiffNoMemory;
      return false;
    }
  }
  uint32_t length = 0;
  if (!file_.ReadChunk(stream_, chunk_, buffer_, &length)) {
    fault_ = kDiffScratchRead;
    return false;
  }
  chunk_ = file_.next_[chunk_];
  begin_ = 0;
  end_ = length;
  return true;
}

bool PartitionFile::ReadChunk(size_t stream, uint32_t chunk, char* to,
                              uint32_t* length) const {
  *length = chunk == last_[stream] ? lastLength_[stream]
                                   : static_cast<uint32_t>(chunkBytes_);
  uint32_t done = 0;
  return platform::ReadFileAt(file_, uint64_t{chunk} * chunkBytes_, to, *length,
                              &done) &&
         done == *length;
}

bool PartitionFile::Reader::ReadAll(char* to) {
  for (uint32_t chunk = file_.first_[stream_]; chunk != kNoChunk;
       chunk = file_.next_[chunk]) {
    uint32_t length = 0;
    if (!file_.ReadChunk(stream_, chunk, to, &length)) {
      fault_ = kDiffScratchRead;
      return false;
    }
    to += length;
  }
  return true;
}

bool PartitionFile::Reader::Copy(char* to, size_t count) {
  while (count > 0) {
    if (begin_ == end_ && !Fill()) {
      // The stream ends inside an entry: the file is not what was written.
      if (fault_ == kDiffFine) fault_ = kDiffScratchRead;
      return false;
    }
    size_t part = end_ - begin_ < count ? end_ - begin_ : count;
    memcpy(to, buffer_ + begin_, part);
    begin_ += part;
    to += part;
    count -= part;
  }
  return true;
}

const PendingEntry* PartitionFile::Reader::Next() {
  if (begin_ == end_ && !Fill()) return nullptr;
  if (end_ - begin_ >= sizeof(PendingEntry)) {
    const auto* entry = reinterpret_cast<const PendingEntry*>(buffer_ + begin_);
    size_t size = PendingEntry::SizeOf(entry->pathLength);
    if (end_ - begin_ >= size) {
      begin_ += size;
      return entry;
    }
  }
  // An entry that goes on in the next chunks.
  PendingEntry head;
  if (!Copy(reinterpret_cast<char*>(&head), sizeof head)) return nullptr;
  size_t size = PendingEntry::SizeOf(head.pathLength);
  if (size > wholeSize_) {
    memory::Release(whole_);
    whole_ = static_cast<char*>(memory::Allocate(size));
    wholeSize_ = whole_ == nullptr ? 0 : size;
    if (whole_ == nullptr) {
      fault_ = kDiffNoMemory;
      return nullptr;
    }
  }
  memcpy(whole_, &head, sizeof head);
  if (!Copy(whole_ + sizeof head, size - sizeof head)) return nullptr;
  return reinterpret_cast<const PendingEntry*>(whole_);
}
