// Drive letters over the drive table: `X:\a\b` is the drive's root directory
// plus `/a/b`, and a drive is ready when its root is an existing directory.
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace platform {

const char kNativePathSeparator = '/';

namespace posix {
namespace {

DriveTable gDrives = BuiltInDriveTable();

int DriveIndex(char letter) {
  if (letter >= 'a' && letter <= 'z') return letter - 'a';
  if (letter >= 'A' && letter <= 'Z') return letter - 'A';
  return -1;
}

// `X:` or `X:\...`: a path on a drive of the table.
bool IsDrivePath(const char* path, size_t length) {
  return length >= 2 && DriveIndex(path[0]) >= 0 && path[1] == ':' &&
         (length == 2 || path[2] == '\\');
}

}  // namespace

void InstallDriveTable(DriveTable table) { gDrives = std::move(table); }

bool NativePath(const char* path, size_t length, char* out) {
  if (!IsDrivePath(path, length)) {
    if (length >= kNativePathSize) return false;
    memcpy(out, path, length);
    out[length] = '\0';
    return true;
  }
  int index = DriveIndex(path[0]);
  if (gDrives.type[index] == kDriveUnknown) return false;
  const std::string& root = gDrives.root[index];
  const char* rest = path + 2;
  size_t restLength = length - 2;
  if (root.size() + restLength + 2 > kNativePathSize) return false;
  memcpy(out, root.data(), root.size());
  char* end = out + root.size();
  for (size_t i = 0; i < restLength; ++i) {
    *end++ = rest[i] == '\\' ? '/' : rest[i];
  }
  if (end == out) *end++ = '/';  // the root directory `/` itself
  *end = '\0';
  return true;
}

bool NativePath(const char* path, char* out) {
  return NativePath(path, strlen(path), out);
}

}  // namespace posix

uint32_t DriveType(const char* root) {
  int index = posix::DriveIndex(root[0]);
  if (index < 0 || root[1] != ':') return kDriveNoRootDir;
  uint32_t type = posix::gDrives.type[index];
  return type == kDriveUnknown ? kDriveNoRootDir : type;
}

bool VolumeIsReady(const char* root) {
  char native[posix::kNativePathSize];
  struct stat info;
  return DriveType(root) != kDriveNoRootDir &&
         posix::NativePath(root, native) && stat(native, &info) == 0 &&
         S_ISDIR(info.st_mode);
}

uint32_t LogicalDriveStrings(uint32_t size, char* buffer) {
  const posix::DriveTable& drives = posix::gDrives;
  uint32_t needed = 0;
  for (int i = 0; i < 26; ++i) {
    if (drives.type[i] != kDriveUnknown) needed += 4;
  }
  // Win32 reports the size it needs, without the final NUL, and writes
  // nothing when the buffer is too small.
  if (needed + 1 > size) return needed + 1;
  char* out = buffer;
  for (int i = 0; i < 26; ++i) {
    if (drives.type[i] == kDriveUnknown) continue;
    *out++ = static_cast<char>('A' + i);
    *out++ = ':';
    *out++ = '\\';
    *out++ = '\0';
  }
  *out = '\0';
  return needed;
}

void UpperCase(char* text) {
  for (; *text != '\0'; ++text) {
    if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 32);
  }
}

}  // namespace platform
