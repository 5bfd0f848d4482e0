// Sorted runs of records in a scratch file of the system's temporary
// directory, which goes when it is closed or the process ends, and their
// merge back into one stream in path order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "database/reader.h"
#include "platform/platform.h"

// Why a comparison stopped.
enum DiffFault {
  kDiffFine,
  kDiffNoMemory,
  kDiffNoScratchFile,
  kDiffScratchWrite,
  kDiffScratchRead,
};

// Orders paths byte for byte, a shorter path before a longer one it begins.
int ComparePaths(const char* a, uint32_t aLength, const char* b,
                 uint32_t bLength);

// One run: the records at [offset, offset + length) of the scratch file, in
// path order, the longest taking `largest` bytes.
struct Run {
  uint64_t offset;
  uint64_t length;
  uint32_t largest;
};

// The scratch file, written one run at a time through a buffer.
class RunFile {
 public:
  RunFile() = default;
  ~RunFile();
  RunFile(const RunFile&) = delete;
  RunFile& operator=(const RunFile&) = delete;

  // Creates the scratch file (at the first call) and starts a run at its
  // end.  False when the file or the buffer cannot be had, or once a write
  // failed; Fault() says which.
  bool Begin();
  // False once a write failed.
  bool Put(const DatabaseRecord& record);
  // Ends the run begun, into *run.  False once a write failed.
  bool End(Run* run);
  // Merges `count` runs of this file (at most MergedStream::kMostCursors)
  // into a new run at its end, of equal paths the earlier run's record
  // first.  False on a fault.
  bool Merge(const Run* runs, size_t count, Run* merged);
  platform::FileHandle* File() const { return file_; }
  uint64_t Size() const { return end_; }
  DiffFault Fault() const { return fault_; }

 private:
  bool Flush();

  platform::FileHandle* file_ = nullptr;
  char* buffer_ = nullptr;
  size_t used_ = 0;
  uint64_t end_ = 0;
  uint64_t runStart_ = 0;
  uint32_t largest_ = 0;
  DiffFault fault_ = kDiffFine;
};

// A stream of records in path order; Record() is valid after Next()
// returned true, until the next call.
class RecordCursor {
 public:
  virtual ~RecordCursor() = default;
  // False at the end, or when a read failed (then Fault()).
  virtual bool Next() = 0;
  const DatabaseRecord& Record() const { return record_; }
  DiffFault Fault() const { return fault_; }

 protected:
  DatabaseRecord record_ = {};
  DiffFault fault_ = kDiffFine;
};

// The records of one run of the scratch file.
class RunCursor : public RecordCursor {
 public:
  RunCursor(platform::FileHandle* file, const Run& run)
      : file_(file), run_(run) {}
  ~RunCursor() override;
  bool Next() override;

 private:
  platform::FileHandle* file_;
  Run run_;
  char* buffer_ = nullptr;
  size_t size_ = 0;
  size_t begin_ = 0;
  size_t end_ = 0;
  uint64_t read_ = 0;
};

// Merges cursors, each in path order, into one stream in path order; of
// equal paths, the earlier cursor's record comes first.
class MergedStream {
 public:
  // Takes `count` cursors (at most kMostCursors), which it does not own,
  // and reads the first record of each.  False when a read failed.
  bool Start(RecordCursor** cursors, size_t count);
  bool Valid() const { return heapSize_ > 0; }
  const DatabaseRecord& Top() const { return cursors_[heap_[0]]->Record(); }
  // False when a read failed.
  bool Advance();
  DiffFault Fault() const { return fault_; }

  static constexpr size_t kMostCursors = 64;

 private:
  bool Less(size_t a, size_t b) const;
  void SiftDown(size_t at);

  RecordCursor** cursors_ = nullptr;
  size_t heap_[kMostCursors] = {};
  size_t heapSize_ = 0;
  DiffFault fault_ = kDiffFine;
};

// The cursors of some runs, given back on every way out.
class RunCursors {
 public:
  RunCursors() = default;
  ~RunCursors();
  RunCursors(const RunCursors&) = delete;
  RunCursors& operator=(const RunCursors&) = delete;

  // A cursor for each of `count` runs (at most MergedStream::kMostCursors)
  // of `file`; false when there is no memory for one.
  bool Open(platform::FileHandle* file, const Run* runs, size_t count);
  RecordCursor** Cursors() { return cursors_; }
  size_t Count() const { return count_; }

 private:
  RecordCursor* cursors_[MergedStream::kMostCursors] = {};
  size_t count_ = 0;
};
