#include "app/run.h"

#include <cstddef>
#include <ctime>

#include "app/options.h"
#include "app/prompt.h"
#include "database/db_writer.h"
#include "database/record_store.h"
#include "database/walk.h"
#include "platform/platform.h"

bool gQuiet = false;

namespace {

enum class DriveDecision { Walk, Skip, Abort };

// Whether drive `root` (`X:\`) is walked.  Fixed disks always are; other
// drives when ready, or when the user has made them ready and chose Retry.
DriveDecision Decide(const char* root) {
  uint32_t type = platform::DriveType(root);
  if (type == platform::kDriveUnknown || type == platform::kDriveNoRootDir) {
    return DriveDecision::Skip;
  }
  if (type == platform::kDriveFixed) return DriveDecision::Walk;
  for (;;) {
    if (platform::VolumeIsReady(root)) return DriveDecision::Walk;
    if (gQuiet) return DriveDecision::Skip;
    switch (AskDriveNotReady(root[0])) {
      case DriveAnswer::Abort: return DriveDecision::Abort;
      case DriveAnswer::Ignore: return DriveDecision::Skip;
      case DriveAnswer::Retry: break;
    }
  }
}

}  // namespace

uint32_t BuildDatabase(const char* databasePath,
                       const char* driveSpecification) {
  RecordStoreOwner store;
  if (!RecordStoreOpen()) return kResultNoMemory;

  // Every letter of the drive specification may be walked, repeats included.
  char collected[kDriveSpecificationSize];
  size_t count = 0;
  for (const char* letter = driveSpecification; *letter != '\0'; ++letter) {
    char root[4] = {*letter, ':', '\\', '\0'};
    DriveDecision decision = Decide(root);
    if (decision == DriveDecision::Abort) return kResultNothingWritten;
    if (decision == DriveDecision::Skip) continue;
    root[2] = '\0';  // the walk starts at `X:`
    if (WalkDirectory(root) == 0 && count + 1 < sizeof collected) {
      collected[count++] = *letter;
    }
  }
  if (count == 0) return kResultNothingWritten;
  collected[count] = '\0';
  uint32_t databaseTime = static_cast<uint32_t>(time(nullptr));
  return WriteDatabase(databasePath, collected, databaseTime);
}

void SelectFixedDrives(const char* logicalDriveStrings,
                       uint32_t (*driveType)(const char* root), char* out) {
  size_t count = 0;
  for (const char* entry = logicalDriveStrings; entry[0] != '\0'; entry += 4) {
    if (driveType(entry) == platform::kDriveFixed && count < 26) {
      out[count++] = entry[0];
    }
  }
  out[count] = '\0';
}

const char* ResultMessage(uint32_t result) {
  switch (result) {
    case kResultCannotCreate: return "Cannot create file %s.\n";
    case kResultCannotWrite: return "Cannot write to file %s.\n";
    case kResultNoMemory: return "Cannot allocate memory.\n";
    default: return nullptr;
  }
}
