// Every block, list entry and string buffer of kavelo comes from here, so
// that tests can make the Nth allocation fail and count what is given back,
// and so that memory others hold can be given back before an allocation is
// given up.
#pragma once

#include <cstddef>

namespace memory {

using AllocateFunction = void* (*)(size_t size);
using ReleaseFunction = void (*)(void* block);
// Frees what it can for the thread that asks; true when it freed anything,
// so that the allocation is worth trying once more.
using ReclaimFunction = bool (*)();

// Returns null when the memory cannot be obtained, even after the reclaimer
// (if any) freed what it could; never throws.
void* Allocate(size_t size);
void Release(void* block);

// Replaces the allocator, and with `release` what takes its blocks back;
// null restores the ordinary one.  A replacement takes blocks from the
// ordinary `::operator new(size, std::nothrow)`, so that either may give
// them back.
void SetAllocator(AllocateFunction allocate, ReleaseFunction release = nullptr);

// Installs the function asked when an allocation fails; null removes it.
// Any thread's failed allocation asks it.
void SetReclaimer(ReclaimFunction reclaim);

}  // namespace memory
