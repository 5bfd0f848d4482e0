// Time: FileTimeToLocalFileTime.
#include <windows.h>

#include <ctime>

#include "platform/platform.h"
#include "platform/win32/internal.h"

// Stored times and the database time are 32-bit counts of seconds: the
// 32-bit program keeps to the 32-bit time_t.  The 64-bit build, which tests
// this code under 64-bit Wine, has only the 64-bit one; the database time,
// time(nullptr) cast to 32 bits, is the same value there.
static_assert(sizeof(void*) == 8 || sizeof(time_t) == 4,
              "build with _USE_32BIT_TIME_T");

namespace platform {

bool FileTimeToLocal(const FileTime& utc, FileTime* local) {
  FILETIME in = {utc.low, utc.high};
  FILETIME out;
  if (!FileTimeToLocalFileTime(&in, &out)) return false;
  *local = win32::FromWin32(out);
  return true;
}

}  // namespace platform
