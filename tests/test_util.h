// Helpers shared by the unit tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "database/write_sink.h"
#include "support/memory.h"

// Makes the Nth allocation from now on fail (1 is the next one), and every
// one after it when `andAfter` is set; undone when it goes out of scope.
class FailingAllocation {
 public:
  explicit FailingAllocation(int nth, bool andAfter = false) {
    countdown_ = nth;
    andAfter_ = andAfter;
    memory::SetAllocator(Allocate);
  }
  ~FailingAllocation() { memory::SetAllocator(nullptr); }
  FailingAllocation(const FailingAllocation&) = delete;
  FailingAllocation& operator=(const FailingAllocation&) = delete;

 private:
  static void* Allocate(size_t size) {
    if (countdown_ > 0 && --countdown_ == 0) {
      if (andAfter_) countdown_ = 1;
      return nullptr;
    }
    return ::operator new(size, std::nothrow);
  }
  static inline int countdown_ = 0;
  static inline bool andAfter_ = false;
};

// A write sink that keeps what it is given, one string per write; the write
// numbered `shortAt` (from 1) takes only half its bytes.
struct CollectingSink {
  std::vector<std::string> writes;
  int shortAt = 0;

  WriteSink Sink() { return {Collect, this}; }
  std::string Bytes() const {
    std::string all;
    for (const std::string& write : writes) all += write;
    return all;
  }

 private:
  static uint32_t Collect(void* context, const void* bytes, uint32_t count) {
    auto* self = static_cast<CollectingSink*>(context);
    if (static_cast<int>(self->writes.size()) + 1 == self->shortAt) count /= 2;
    self->writes.emplace_back(static_cast<const char*>(bytes), count);
    return count;
  }
};
