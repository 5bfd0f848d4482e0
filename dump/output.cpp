#include "dump/output.h"

#include <cstring>

void Output::Append(const char* bytes, size_t count) {
  while (count > 0) {
    if (used_ == kChunk) Flush();
    size_t part = kChunk - used_ < count ? kChunk - used_ : count;
    memcpy(buffer_ + used_, bytes, part);
    used_ += part;
    bytes += part;
    count -= part;
  }
}

bool Output::Flush() {
  if (file_ == nullptr) {
    // A buffer that must hold all its bytes cannot pass any on.
    if (used_ > 0) failed_ = true;
    used_ = 0;
    return !failed_;
  }
  if (used_ > 0 && !failed_ && fwrite(buffer_, 1, used_, file_) != used_) {
    failed_ = true;
  }
  used_ = 0;
  if (!failed_ && fflush(file_) != 0) failed_ = true;
  return !failed_;
}

bool Output::WriteThrough(const char* bytes, size_t count) {
  if (!Flush()) return false;
  if (count > 0 && fwrite(bytes, 1, count, file_) != count) failed_ = true;
  return !failed_;
}
