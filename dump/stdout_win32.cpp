#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>

#include "dump/stdout.h"

void SetStdoutBinary() { _setmode(_fileno(stdout), _O_BINARY); }

FILE* OpenDatabase(const char* path) {
  // fopen shares for reading and writing only: kavelo could not replace the
  // database while the listing runs.
  HANDLE file =
      CreateFileA(path, GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    switch (GetLastError()) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
      case ERROR_INVALID_NAME:
      case ERROR_INVALID_DRIVE:
      case ERROR_BAD_NETPATH: errno = ENOENT; break;
      case ERROR_ACCESS_DENIED:
      case ERROR_SHARING_VIOLATION:
      case ERROR_LOCK_VIOLATION: errno = EACCES; break;
      case ERROR_NOT_ENOUGH_MEMORY:
      case ERROR_OUTOFMEMORY: errno = ENOMEM; break;
      case ERROR_TOO_MANY_OPEN_FILES: errno = EMFILE; break;
      default: errno = EINVAL; break;
    }
    return nullptr;
  }
  int descriptor =
      _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
  if (descriptor < 0) {
    CloseHandle(file);
    return nullptr;
  }
  FILE* stream = _fdopen(descriptor, "rb");
  if (stream == nullptr) _close(descriptor);
  return stream;
}
