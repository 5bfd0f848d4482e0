#include "dump/runs.h"

#include <cstring>
#include <new>

#include "support/memory.h"

namespace {

// A record in a run: these fields, then the path's bytes.
struct RunEntry {
  uint32_t pathLength;
  int32_t lastWrite;
  int32_t creation;
  int32_t lastAccess;
  uint32_t size;
};

constexpr size_t kWriteBuffer = 1 << 18;
constexpr size_t kReadBuffer = 1 << 17;

}  // namespace

int ComparePaths(const char* a, uint32_t aLength, const char* b,
                 uint32_t bLength) {
  int order = memcmp(a, b, aLength < bLength ? aLength : bLength);
  if (order != 0) return order;
  return aLength < bLength ? -1 : aLength > bLength ? 1 : 0;
}

RunFile::~RunFile() {
  memory::Release(buffer_);
  if (file_ != nullptr) platform::CloseFile(file_);
}

bool RunFile::Begin() {
  if (file_ == nullptr) {
    if (buffer_ == nullptr) {
      buffer_ = static_cast<char*>(memory::Allocate(kWriteBuffer));
      if (buffer_ == nullptr) {
        fault_ = kDiffNoMemory;
        return false;
      }
    }
    file_ = platform::CreateScratchFile();
    if (file_ == nullptr) {
      fault_ = kDiffNoScratchFile;
      return false;
    }
  }
  runStart_ = end_;
  largest_ = 0;
  return fault_ == kDiffFine;
}

bool RunFile::Flush() {
  uint32_t done = 0;
  if (used_ > 0 && fault_ == kDiffFine &&
      !platform::WriteFileAt(file_, end_, buffer_, static_cast<uint32_t>(used_),
                             &done)) {
    fault_ = kDiffScratchWrite;
  }
  end_ += used_;
  used_ = 0;
  return fault_ == kDiffFine;
}

bool RunFile::Put(const DatabaseRecord& record) {
  RunEntry entry = {record.pathLength, record.lastWrite, record.creation,
                    record.lastAccess, record.size};
  size_t size = sizeof entry + record.pathLength;
  if (size > largest_) largest_ = static_cast<uint32_t>(size);
  if (kWriteBuffer - used_ < sizeof entry && !Flush()) return false;
  memcpy(buffer_ + used_, &entry, sizeof entry);
  used_ += sizeof entry;
  const char* path = record.path;
  size_t left = record.pathLength;
  while (left > 0) {
    if (used_ == kWriteBuffer && !Flush()) return false;
    size_t part = kWriteBuffer - used_ < left ? kWriteBuffer - used_ : left;
    memcpy(buffer_ + used_, path, part);
    used_ += part;
    path += part;
    left -= part;
  }
  return fault_ == kDiffFine;
}

bool RunFile::End(Run* run) {
  if (!Flush()) return false;
  *run = {runStart_, end_ - runStart_, largest_};
  return true;
}

bool RunFile::Merge(const Run* runs, size_t count, Run* merged) {
  RunCursors cursors;
  MergedStream stream;
  if (!cursors.Open(file_, runs, count)) {
    fault_ = kDiffNoMemory;
    return false;
  }
  if (!stream.Start(cursors.Cursors(), cursors.Count())) {
    fault_ = stream.Fault();
    return false;
  }
  if (!Begin()) return false;
  while (stream.Valid()) {
    if (!Put(stream.Top())) return false;
    if (!stream.Advance()) {
      fault_ = stream.Fault();
      return false;
    }
  }
  return End(merged);
}

RunCursor::~RunCursor() { memory::Release(buffer_); }

bool RunCursor::Next() {
  if (fault_ != kDiffFine) return false;
  if (buffer_ == nullptr) {
    size_ = run_.largest > kReadBuffer ? run_.largest : kReadBuffer;
    buffer_ = static_cast<char*>(memory::Allocate(size_));
    if (buffer_ == nullptr) {
      fault_ = kDiffNoMemory;
      return false;
    }
  }
  uint64_t left = run_.length - read_;
  if (end_ - begin_ < sizeof(RunEntry) && left == 0) return false;
  RunEntry entry;
  for (int pass = 0; pass < 2; ++pass) {
    if (end_ - begin_ >= sizeof entry) {
      memcpy(&entry, buffer_ + begin_, sizeof entry);
      if (end_ - begin_ >= sizeof entry + entry.pathLength) break;
    }
    if (pass == 1 || left == 0) {
      // The run ends inside a record: the scratch file is not what was
      // written.
      fault_ = kDiffScratchRead;
      return false;
    }
    memmove(buffer_, buffer_ + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    auto count =
        static_cast<uint32_t>(size_ - end_ < left ? size_ - end_ : left);
    uint32_t done = 0;
    if (!platform::ReadFileAt(file_, run_.offset + read_, buffer_ + end_, count,
                              &done)) {
      fault_ = kDiffScratchRead;
      return false;
    }
    read_ += count;
    left -= count;
    end_ += count;
  }
  record_ = {buffer_ + begin_ + sizeof entry,
             entry.pathLength,
             entry.lastWrite,
             entry.creation,
             entry.lastAccess,
             entry.size};
  begin_ += sizeof entry + entry.pathLength;
  return true;
}

bool MergedStream::Less(size_t a, size_t b) const {
  const DatabaseRecord& x = cursors_[a]->Record();
  const DatabaseRecord& y = cursors_[b]->Record();
  int order = ComparePaths(x.path, x.pathLength, y.path, y.pathLength);
  return order < 0 || (order == 0 && a < b);
}

void MergedStream::SiftDown(size_t at) {
  for (;;) {
    size_t least = at;
    size_t left = 2 * at + 1;
    if (left < heapSize_ && Less(heap_[left], heap_[least])) least = left;
    if (left + 1 < heapSize_ && Less(heap_[left + 1], heap_[least])) {
      least = left + 1;
    }
    if (least == at) return;
    size_t swap = heap_[at];
    heap_[at] = heap_[least];
    heap_[least] = swap;
    at = least;
  }
}

bool MergedStream::Start(RecordCursor** cursors, size_t count) {
  cursors_ = cursors;
  heapSize_ = 0;
  for (size_t i = 0; i < count; ++i) {
    if (cursors[i]->Next()) {
      heap_[heapSize_++] = i;
    } else if (cursors[i]->Fault() != kDiffFine) {
      fault_ = cursors[i]->Fault();
      return false;
    }
  }
  for (size_t at = heapSize_; at-- > 0;) SiftDown(at);
  return true;
}

bool MergedStream::Advance() {
  RecordCursor* top = cursors_[heap_[0]];
  if (!top->Next()) {
    if (top->Fault() != kDiffFine) {
      fault_ = top->Fault();
      return false;
    }
    heap_[0] = heap_[--heapSize_];
  }
  SiftDown(0);
  return true;
}

RunCursors::~RunCursors() {
  for (size_t i = 0; i < count_; ++i) delete cursors_[i];
}

bool RunCursors::Open(platform::FileHandle* file, const Run* runs,
                      size_t count) {
  for (size_t i = 0; i < count; ++i) {
    cursors_[count_] = new (std::nothrow) RunCursor(file, runs[i]);
    if (cursors_[count_] == nullptr) return false;
    ++count_;
  }
  return true;
}
