// FileTimeToLocalFileTime over the C library's time zone (TZ first).
#include <ctime>

#include "platform/platform.h"

namespace platform {

bool FileTimeToLocal(const FileTime& utc, FileTime* local) {
  // As on Win32, the bias in effect now serves every date.
  time_t now = time(nullptr);
  struct tm fields;
  int64_t bias = localtime_r(&now, &fields) != nullptr ? fields.tm_gmtoff : 0;
  uint64_t ticks = Ticks(utc);
  if (ticks >> 63) return false;  // no FILETIME conversion takes these
  int64_t shifted = static_cast<int64_t>(ticks) +
                    bias * static_cast<int64_t>(kTicksPerSecond);
  if (shifted < 0) return false;
  *local = FileTimeOfTicks(static_cast<uint64_t>(shifted));
  return true;
}

}  // namespace platform
