// The process's surroundings that the run asks about: processors and
// environment variables.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace platform {

unsigned ProcessorCount() {
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
}

uint32_t EnvironmentVariable(const char* name, char* buffer, uint32_t size) {
  const char* value = getenv(name);
  if (value == nullptr) return 0;
  size_t length = strlen(value);
  if (length >= size) return static_cast<uint32_t>(length + 1);
  memcpy(buffer, value, length + 1);
  return static_cast<uint32_t>(length);
}

}  // namespace platform
