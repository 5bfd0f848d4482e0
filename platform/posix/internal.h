// What the POSIX platform files share among themselves; nothing outside
// platform/posix/ includes this.
#pragma once

#include <sys/types.h>

#include <cstddef>

struct stat;

#include "platform/platform.h"
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

// A file handle for `descriptor`, and back (files.cpp).
FileHandle* HandleOf(int descriptor);
int Descriptor(FileHandle* file);
// Hands `descriptor`'s pages to the disk as they are written, until it is
// closed: the replacement's, which is flushed once whole.
void WriteBackAsWritten(int descriptor);
// Makes a write past the file-size limit fail rather than end the process.
void FailWritesPastSizeLimit();

// Links followed before giving up, as the kernel's own limit: a chain of 40
// links resolves, one of 41 does not.
constexpr int kMaxLinks = 40;
// The length of `path`'s directory part, its last `/` included.
size_t DirectoryLength(const char* path);
// Follows the links that `path` names into `out`, so that a link to a file
// is written through.  *info describes what `out` names, when *exists.
// When `descriptor` is given, the chain stops at a name that stands for a
// descriptor of the process (/dev/stdout, /proc/self/fd/N), which is then
// *descriptor; otherwise it is -1.  False when the chain cannot be followed
// to its end.
bool FollowLinks(const char* path, char* out, struct stat* info, bool* exists,
                 int* descriptor);
// Fills the attributes, times, size and identity of `entry` for `name`,
// relative to the open directory `directory` (entries.cpp); the caller
// copies the name it reports.  False when the entry is to be passed over (it
// vanished, or it is a pruned mount).
bool DescribeEntry(int directory, const char* name, FindEntry* entry);
// Sets the name of `entry`, cut to fit, and no short name.
void CopyName(const char* name, size_t length, FindEntry* entry);

}  // namespace platform::posix
