#include <sys/mman.h>

#include <cstdint>

#include "platform/platform.h"

namespace platform {

void PreferLargePages(void* block, size_t size) {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  auto start = reinterpret_cast<uintptr_t>(block);
  uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
  uintptr_t end = (start + size) & ~(kHugePage - 1);
  // Advice only: where it is not taken, the block is as it was.
  if (end > first) {
    madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
  }
#else
  (void)block;
  (void)size;
#endif
}

}  // namespace platform
