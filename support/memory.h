// Every block, list entry and string buffer of kavelo comes from here, so
// that tests can make the Nth allocation fail.
#pragma once

#include <cstddef>

namespace memory {

using AllocateFunction = void* (*)(size_t size);

// Returns null when the memory cannot be obtained; never throws.
void* Allocate(size_t size);
void Release(void* block);

// Replaces the allocator; null restores the ordinary one.
void SetAllocator(AllocateFunction allocate);

}  // namespace memory
