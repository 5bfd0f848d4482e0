// The buffer kavelo-dump writes its output through.
#pragma once

#include <cstddef>
#include <cstdio>

// How a form writes a record: times as the stored numbers or as text, and
// the label that leads each record, made for the form by its Make*Label:
// the database the record comes from, when several are read; none for one.
struct FormStyle {
  bool raw = false;
  const char* label = nullptr;
  size_t labelLength = 0;
};

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
