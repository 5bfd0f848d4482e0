// Holds a file open as another program would, without delete sharing (as
// the C runtime's fopen does), for the cases that replace a file such a
// program has open: hold_file PATH [SECONDS].  Says "held" once it has the
// file; lets go after SECONDS, or when its standard input ends.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  HANDLE file =
      CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    printf("cannot open: error %lu\n", GetLastError());
    return 1;
  }
  puts("held");
  fflush(stdout);
  if (argc > 2) {
    Sleep(static_cast<DWORD>(atoi(argv[2])) * 1000);
  } else {
    char byte;
    DWORD got;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr) &&
           got > 0) {
    }
  }
  CloseHandle(file);
  return 0;
}
