#include "support/dyn_string.h"

#include <cstring>

#include "support/memory.h"

namespace {

constexpr uint32_t kGrowthMargin = 10;

}  // namespace

void DynString::Free() {
  memory::Release(data_);
  data_ = nullptr;
  length_ = 0;
  capacity_ = 0;
}

bool DynString::TakeBuffer(uint32_t capacity) {
  Free();
  char* buffer = static_cast<char*>(memory::Allocate(capacity));
  if (buffer == nullptr) return false;
  buffer[0] = '\0';
  data_ = buffer;
  capacity_ = capacity;
  return true;
}

bool DynString::Assign(const char* text, uint32_t maxLength) {
  if (text == nullptr || maxLength == 0) {
    Free();
    return true;
  }
  uint32_t length = 0;
  while (length < maxLength && text[length] != '\0') ++length;
  // Unsigned on purpose: a buffer below the margin is always replaced.
  bool keep = length < capacity_ && length >= capacity_ - kGrowthMargin;
  if (keep) {
    memmove(data_, text, length);  // `text` may lie in this very buffer
  } else {
    // The fresh buffer is filled before the old one goes, since `text` may
    // be the string's own text.
    uint32_t capacity = length + kGrowthMargin;
    char* fresh = static_cast<char*>(memory::Allocate(capacity));
    if (fresh == nullptr) {
      Free();
      return false;
    }
    memcpy(fresh, text, length);
    memory::Release(data_);
    data_ = fresh;
    capacity_ = capacity;
  }
  data_[length] = '\0';
  length_ = length;
  return true;
}

char* DynString::OpenBuffer(uint32_t size) {
  if (size == kAll) {
    if (data_ != nullptr) return data_;
    if (!TakeBuffer(2)) return nullptr;
    length_ = 0;
    return data_;
  }
  // A string without a buffer needs one even for no bytes: null means that
  // memory ran out.
  if ((data_ == nullptr || size > capacity_) &&
      !TakeBuffer(size + kGrowthMargin)) {
    return nullptr;
  }
  length_ = size;
  return data_;
}

bool DynString::CloseBuffer(uint32_t length) {
  if (data_ == nullptr) return true;
  // The caller may have written no NUL at all: never read past the buffer.
  uint32_t settled = 0;
  if (length == kAll) {
    while (settled < capacity_ && data_[settled] != '\0') ++settled;
  } else {
    settled = length < capacity_ ? length : capacity_;
  }
  uint32_t capacity = settled + 1 < 2 ? 2 : settled + 1;
  char* fresh = static_cast<char*>(memory::Allocate(capacity));
  if (fresh == nullptr) {
    Free();
    return false;
  }
  memcpy(fresh, data_, settled);
  fresh[settled] = '\0';
  memory::Release(data_);
  data_ = fresh;
  length_ = settled;
  capacity_ = capacity;
  return true;
}
