// Helpers shared by the unit tests.
#pragma once

#include <cstddef>
#include <new>

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
