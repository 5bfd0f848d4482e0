#include "platform/platform.h"

namespace platform {

void PreferLargePages(void*, size_t) {}

}  // namespace platform
