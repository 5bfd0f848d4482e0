#include "support/memory.h"

#include <new>

namespace memory {
namespace {

void* OrdinaryAllocate(size_t size) {
  return ::operator new(size, std::nothrow);
}

AllocateFunction gAllocate = OrdinaryAllocate;

}  // namespace

void* Allocate(size_t size) { return gAllocate(size); }

void Release(void* block) { ::operator delete(block); }

void SetAllocator(AllocateFunction allocate) {
  gAllocate = allocate != nullptr ? allocate : OrdinaryAllocate;
}

}  // namespace memory
