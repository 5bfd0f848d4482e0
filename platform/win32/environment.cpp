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

void UpperCase(char* text) {
  // Every ANSI code page spells ASCII as itself, and CharUpperA's casing is
  // the file system's, the same in every locale: ASCII text needs no call.
  // user32 is loaded only for other text, as loading it costs a console
  // program more than a small walk does (a window station, gdi32).
  size_t length = 0;
  for (; text[length] != '\0'; ++length) {
    if (static_cast<unsigned char>(text[length]) >= 0x80) break;
  }
  if (text[length] == '\0') {
    for (char* at = text; *at != '\0'; ++at) {
      if (*at >= 'a' && *at <= 'z') *at = static_cast<char>(*at - 'a' + 'A');
    }
    return;
  }
  using CharUpperFunction = LPSTR(WINAPI*)(LPSTR);
  HMODULE user32 = LoadLibraryA("user32.dll");
  auto charUpper =
      user32 != nullptr
          ? reinterpret_cast<CharUpperFunction>(
                reinterpret_cast<void*>(GetProcAddress(user32, "CharUpperA")))
          : nullptr;
  if (charUpper != nullptr) charUpper(text);
}

}  // namespace platform
