// The console: one key, as the C runtime's _getch reads it.
#include <conio.h>
#include <windows.h>

#include <cstdio>

#include "platform/platform.h"

namespace platform {

int ReadKey() {
  // _getch reads the console itself, not standard input; without a console
  // it has nothing to wait for.
  HANDLE console = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  if (console == INVALID_HANDLE_VALUE) return -1;
  CloseHandle(console);
  int key = _getch();
  return key == EOF || key == 0xFFFF ? -1 : key;
}

}  // namespace platform
