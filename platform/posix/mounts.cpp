// Mount points of the kernel's virtual file systems, which no search enters,
// as locate's updatedb prunes them.
#include <sys/sysmacros.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/posix/internal.h"

namespace platform::posix {
namespace {

constexpr const char* kPrunedFileSystems[] = {
    "proc",    "sysfs",   "devtmpfs",   "devpts",      "cgroup", "cgroup2",
    "debugfs", "tracefs", "securityfs", "pstore",      "bpf",    "configfs",
    "fusectl", "mqueue",  "hugetlbfs",  "binfmt_misc", "autofs"};

std::vector<dev_t> gPrunedDevices;
std::once_flag gPrunedDevicesLoaded;

void LoadPrunedDevices() {
  FILE* mounts = fopen("/proc/self/mountinfo", "re");
  if (mounts == nullptr) return;
  char line[4096];
  while (fgets(line, sizeof line, mounts) != nullptr) {
    // "36 35 98:0 /root /mount opts... - fstype source opts"
    unsigned major = 0, minor = 0;
    if (sscanf(line, "%*u %*u %u:%u", &major, &minor) != 2) continue;
    const char* separator = strstr(line, " - ");
    if (separator == nullptr) continue;
    char type[64];
    if (sscanf(separator + 3, "%63s", type) != 1) continue;
    for (const char* pruned : kPrunedFileSystems) {
      if (strcmp(type, pruned) == 0) {
        gPrunedDevices.push_back(makedev(major, minor));
      }
    }
  }
  fclose(mounts);
}

}  // namespace

bool IsPrunedDevice(dev_t device) {
  // Read once, on first use, whichever thread gets there first.
  std::call_once(gPrunedDevicesLoaded, LoadPrunedDevices);
  for (dev_t pruned : gPrunedDevices) {
    if (pruned == device) return true;
  }
  return false;
}

}  // namespace platform::posix
