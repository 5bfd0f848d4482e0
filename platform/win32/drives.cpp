// Drives: GetDriveTypeA, GetVolumeInformationA and GetLogicalDriveStringsA.
#include <windows.h>

#include "platform/platform.h"

namespace platform {

uint32_t DriveType(const char* root) { return GetDriveTypeA(root); }

bool VolumeIsReady(const char* root) {
  DWORD scratch = 0;
  return GetVolumeInformationA(root, nullptr, 0, nullptr, &scratch, &scratch,
                               nullptr, 0) != 0;
}

uint32_t LogicalDriveStrings(uint32_t size, char* buffer) {
  return GetLogicalDriveStringsA(size, buffer);
}

}  // namespace platform
