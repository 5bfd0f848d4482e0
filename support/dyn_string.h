// A small owned, NUL-terminated byte string with a growth margin of 10 bytes.
// Besides assignment, it lets a system call write straight into its buffer
// (OpenBuffer) and then settles the length (CloseBuffer).
#pragma once

#include <cstdint>

class DynString {
 public:
  static constexpr uint32_t kAll = 0xFFFFFFFFu;  // no limit / whole buffer

  DynString() = default;
  ~DynString() { Free(); }
  DynString(const DynString&) = delete;
  DynString& operator=(const DynString&) = delete;

  // Releases the buffer; the string is then empty and holds no buffer.
  void Free();
  // The text; the shared empty text when there is no buffer.
  const char* Text() const { return data_ != nullptr ? data_ : ""; }
  uint32_t Length() const { return length_; }
  uint32_t Capacity() const { return capacity_; }

  // Sets the string to at most `maxLength` characters of `text`.  Returns
  // false when memory runs out; the string is then empty.
  bool Assign(const char* text, uint32_t maxLength);
  // A buffer for up to `size` bytes (kAll: the present buffer).  The old
  // content is kept only for kAll.  Null when memory runs out; the string is
  // then empty.
  char* OpenBuffer(uint32_t size);
  // Settles the string after a write into its buffer: `length` bytes, or up
  // to the first NUL for kAll, never past the bytes the buffer holds.  The
  // buffer then fits the text tightly.  Returns false when memory runs out;
  // the string is then empty.
  bool CloseBuffer(uint32_t length);

 private:
  // Replaces the buffer with a fresh one of `capacity` bytes, its first byte
  // NUL.  On failure the string is left empty without a buffer.
  bool TakeBuffer(uint32_t capacity);

  char* data_ = nullptr;
  uint32_t length_ = 0;
  uint32_t capacity_ = 0;
};
