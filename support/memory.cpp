#include "support/memory.h"

#include <atomic>
#include <new>

namespace memory {
namespace {

void* OrdinaryAllocate(size_t size) {
  return ::operator new(size, std::nothrow);
}

void OrdinaryRelease(void* block) { ::operator delete(block); }

AllocateFunction gAllocate = OrdinaryAllocate;
ReleaseFunction gRelease = OrdinaryRelease;
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

void Release(void* block) { gRelease(block); }

void SetAllocator(AllocateFunction allocate, ReleaseFunction release) {
  gAllocate = allocate != nullptr ? allocate : OrdinaryAllocate;
  gRelease = release != nullptr ? release : OrdinaryRelease;
}

void SetReclaimer(ReclaimFunction reclaim) {
  gReclaim.store(reclaim, std::memory_order_release);
}

}  // namespace memory
