// The process and its setting: start-up, processors, environment variables
// and CharUpperA.
#include <windows.h>

#include "platform/platform.h"

namespace platform {

const char kNativePathSeparator = '\\';

bool Initialize(char*, size_t) {
  // Only kavelo's own dialogue may ask about a drive without a disk: the
  // system's message box would block an unattended, quiet run.
  SetErrorMode(SEM_FAILCRITICALERRORS);
  return true;
}

bool PrepareSettings(char*, size_t) { return true; }  // the real registry

unsigned ProcessorCount() {
  // The processors this process may run on: one confined to some (start
  // /affinity, a job object) gains nothing from workers for the others.
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) &&
      process != 0) {
    unsigned count = 0;
    for (; process != 0; process &= process - 1) ++count;
    return count;
  }
  SYSTEM_INFO information;
  GetSystemInfo(&information);
  return information.dwNumberOfProcessors > 0 ? information.dwNumberOfProcessors
                                              : 1;
}

uint32_t EnvironmentVariable(const char* name, char* buffer, uint32_t size) {
  return GetEnvironmentVariableA(name, buffer, size);
}

void UpperCase(char* text) { CharUpperA(text); }

}  // namespace platform
