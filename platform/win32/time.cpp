// Time: FileTimeToLocalFileTime.
#include <windows.h>

#include <ctime>

#include "platform/platform.h"
#include "platform/win32/internal.h"

// Stored times and the database time are 32-bit counts of seconds.
static_assert(sizeof(time_t) == 4, "build with _USE_32BIT_TIME_T");

namespace platform {

bool FileTimeToLocal(const FileTime& utc, FileTime* local) {
  FILETIME in = {utc.low, utc.high};
  FILETIME out;
  if (!FileTimeToLocalFileTime(&in, &out)) return false;
  *local = win32::FromWin32(out);
  return true;
}

}  // namespace platform
