// The process's surroundings that the run asks about: processors and
// environment variables.
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace platform {

unsigned ProcessorCount() {
  // The processors this process may run on: one confined to some (taskset,
  // a container's CPU set) gains nothing from workers for the others.
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
    int count = CPU_COUNT(&allowed);
    if (count > 0) return static_cast<unsigned>(count);
  }
  // More processors than the set can name: count those online.
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
