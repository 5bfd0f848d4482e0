// The console: one key, as the C runtime's _getch reads it, and text written
// to the console itself.
#include <conio.h>
#include <windows.h>

#include <cstdio>

#include "platform/platform.h"

namespace platform {

namespace {

// The console's own input or output ("CONIN$", "CONOUT$"), whatever the
// standard handles are; INVALID_HANDLE_VALUE when there is no console.
HANDLE OpenConsole(const char* name) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     0, nullptr);
}

}  // namespace

int ReadKey() {
  // _getch reads the console itself, not standard input; without a console
  // it has nothing to wait for.
  HANDLE console = OpenConsole("CONIN$");
  if (console == INVALID_HANDLE_VALUE) return -1;
  CloseHandle(console);
  int key = _getch();
  return key == EOF || key == 0xFFFF ? -1 : key;
}

bool WriteToConsole(const char* text, uint32_t length) {
  HANDLE console = OpenConsole("CONOUT$");
  if (console == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteConsoleA(console, text, length, &written, nullptr);
  CloseHandle(console);
  return ok != 0 && written == length;
}

}  // namespace platform
