// kavelo-dump's output forms, written through a buffer of the program's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "database/reader.h"

// Standard output, or any stream, in chunks of kChunk bytes.
class Output {
 public:
  static constexpr size_t kChunk = 1 << 18;

  // With no file the bytes stay in the buffer, for Data() to take; more
  // than kChunk of them is a failure.
  explicit Output(FILE* file) : file_(file) {}
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  void Append(const char* bytes, size_t count);
  void Put(char c) {
    if (used_ == kChunk) Flush();
    buffer_[used_++] = c;
  }
  // Room for `count` (at most kChunk) bytes; Commit() says how many were
  // used.
  char* Room(size_t count) {
    if (kChunk - used_ < count) Flush();
    return buffer_ + used_;
  }
  void Commit(size_t count) { used_ += count; }
  // Passes the buffered bytes on; false once any write has failed.
  bool Flush();
  bool Failed() const { return failed_; }
  // Writes what is buffered, then `count` bytes straight from `bytes`.
  bool WriteThrough(const char* bytes, size_t count);

  const char* Data() const { return buffer_; }
  size_t Used() const { return used_; }
  void Clear() { used_ = 0; }

 private:
  FILE* file_;
  size_t used_ = 0;
  bool failed_ = false;
  char buffer_[kChunk];
};

// A stored time as the listing shows it: ISO 8601 UTC, or `0` (before 1900)
// and `-1` (out of range) as they are; with `raw` the number.  Writes at most
// kTimeTextSize bytes to `out` and returns how many.
constexpr size_t kTimeTextSize = 20;
size_t FormatTime(int32_t time, bool raw, char* out);

// The counts of --summary.
struct SummaryCounts {
  uint64_t records = 0;
  uint64_t totalSize = 0;
  uint64_t emptyPaths = 0;
  // Records by the first byte of their path, the drive letter.
  uint64_t perDrive[256] = {};
  // The letters the header names, so that a drive without records shows.
  bool walked[256] = {};
};

void WriteHeaderLines(Output* out, const DatabaseHeader& header, bool raw);
void WriteListRecord(Output* out, const DatabaseRecord& record, bool raw);
void WriteCsvTitles(Output* out);
void WriteCsvRecord(Output* out, const DatabaseRecord& record, bool raw);
void WriteJsonHeader(Output* out, const DatabaseHeader& header, bool raw);
void WriteJsonRecord(Output* out, const DatabaseRecord& record, bool raw);
void WritePathWithNul(Output* out, const DatabaseRecord& record);

void CountDriveLetters(SummaryCounts* counts, const char* driveLetters);
inline void CountRecord(SummaryCounts* counts, const DatabaseRecord& record) {
  ++counts->records;
  counts->totalSize += record.size;
  if (record.pathLength == 0) {
    ++counts->emptyPaths;
  } else {
    ++counts->perDrive[static_cast<uint8_t>(record.path[0])];
  }
}
void WriteSummaryCounts(Output* out, const SummaryCounts& counts);
