#include "app/run.h"

#include <cstddef>
#include <cstring>
#include <ctime>

#include "app/options.h"
#include "app/prompt.h"
#include "database/db_writer.h"
#include "database/read_ahead.h"
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

// KAVELO_THREADS, or null when unset or too long to be a number.
const char* ThreadsSetting(char* buffer, uint32_t size) {
  uint32_t length =
      platform::EnvironmentVariable("KAVELO_THREADS", buffer, size);
  return length > 0 && length < size ? buffer : nullptr;
}

// The header that a spill writes names the drives walked so far and, as
// the common run ends, every drive from `next` on.  A drive left out after
// all costs one move of the records spilled until then.
void ExpectTheRest(const char* collected, size_t count, const char* next) {
  char expected[kDriveSpecificationSize];
  memcpy(expected, collected, count);
  for (; *next != '\0' && count + 1 < sizeof expected; ++next) {
    expected[count++] = *next;
  }
  expected[count] = '\0';
  SpillExpect(expected);
}

}  // namespace

uint32_t BuildDatabase(const char* databasePath,
                       const char* driveSpecification) {
  RecordStoreOwner store;
  if (!RecordStoreOpen()) return kResultNoMemory;
  // A long run's records go to the database file as the walk goes on.
  SpillOwner spill;
  SpillStart(databasePath);

  char setting[16];
  unsigned workers = ReadAheadWorkers(ThreadsSetting(setting, sizeof setting),
                                      platform::ProcessorCount());

  // Every letter of the drive specification may be walked, repeats included.
  char collected[kDriveSpecificationSize];
  size_t count = 0;
  for (const char* letter = driveSpecification; *letter != '\0'; ++letter) {
    char root[4] = {*letter, ':', '\\', '\0'};
    DriveDecision decision = Decide(root);
    if (decision == DriveDecision::Abort) return kResultNothingWritten;
    if (decision == DriveDecision::Skip) continue;
    ExpectTheRest(collected, count, letter);
    root[2] = '\0';  // the walk starts at `X:`
    if (WalkDirectory(root, workers) == 0 && count + 1 < sizeof collected) {
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

unsigned ReadAheadWorkers(const char* setting, unsigned processors) {
  if (setting != nullptr && *setting != '\0') {
    unsigned value = 0;
    const char* digit = setting;
    for (; *digit >= '0' && *digit <= '9'; ++digit) {
      if (value < kMaxReadAheadWorkers) value = value * 10 + (*digit - '0');
    }
    if (*digit == '\0') {
      return value < kMaxReadAheadWorkers ? value : kMaxReadAheadWorkers;
    }
  }
  return processors < kMaxReadAheadWorkers ? processors : kMaxReadAheadWorkers;
}

const char* ResultMessage(uint32_t result) {
  switch (result) {
    case kResultCannotCreate: return "Cannot create file %s.\n";
    case kResultCannotWrite: return "Cannot write to file %s.\n";
    case kResultNoMemory: return "Cannot allocate memory.\n";
    default: return nullptr;
  }
}
