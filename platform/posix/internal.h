// What the POSIX platform files share among themselves; nothing outside
// platform/posix/ includes this.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "platform/posix/drive_table.h"
#include "platform/posix/reg_file.h"

namespace platform::posix {

// Native paths may be longer than Win32's: they hold a drive's root too.
constexpr size_t kNativePathSize = 4096;

// Makes `table` the drive table in force (paths.cpp); until then the
// built-in one serves.
void InstallDriveTable(DriveTable table);

// The registry in force (registry.cpp): empty until Initialize installs one.
void InstallRegistry(RegistryKeys keys);

// The native path for the first `length` characters of `path` (paths.cpp):
// a drive path `X:\a\b` becomes the drive's root plus `/a/b`; any other path
// is taken as native already.  False when the drive does not exist or the
// result does not fit kNativePathSize.
bool NativePath(const char* path, size_t length, char* out);
bool NativePath(const char* path, char* out);

// True for the device of a kernel file system that holds no files worth
// listing (mounts.cpp).  Safe to call from several threads.
bool IsPrunedDevice(dev_t device);

}  // namespace platform::posix
