// Reading a fuzzer's input as a stream of small values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return at_ == size_; }
  // The next byte, or 0 after the end.
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  // The next `length` bytes, or as many as are left.
  std::string Bytes(size_t length) {
    if (length > size_ - at_) length = size_ - at_;
    std::string text(reinterpret_cast<const char*>(data_ + at_), length);
    at_ += length;
    return text;
  }
  // The rest of the input.
  std::string Rest() { return Bytes(size_ - at_); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};
