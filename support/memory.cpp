#include "support/memory.h"

#include <atomic>
#include <new>

namespace memory {
namespace {

void* OrdinaryAllocate(size_t size) {
  return ::operator new(size, std::nothrow);
}

AllocateFunction gAllocate = OrdinaryAllocate;
// Set and cleared on one thread while others allocate.
std::atomic<ReclaimFunction> gReclaim{nullptr};

}  // namespace

void* Allocate(size_t size) {
  void* block = gAllocate(size);
  if (block != nullptr) return block;
  ReclaimFunction reclaim = gReclaim.load(std::memory_order_acquire);
  if (reclaim == nullptr || !reclaim()) return nullptr;
  return gAllocate(size);
}

void Release(void* block) { ::operator delete(block); }

void SetAllocator(AllocateFunction allocate) {
  gAllocate = allocate != nullptr ? allocate : OrdinaryAllocate;
}

void SetReclaimer(ReclaimFunction reclaim) {
  gReclaim.store(reclaim, std::memory_order_release);
}

}  // namespace memory
