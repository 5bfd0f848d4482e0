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
#include "support/memory.h"

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

  WorkersStart start;
  unsigned workers = ReadAheadWorkers(platform::ProcessorCount(), &start);
  // A prompt written into the database's own stream would spoil it.
  PromptBesideDatabase(platform::IsStandardOutput(databasePath));

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
    if (WalkDirectory(root, workers, start) == 0 &&
        count + 1 < sizeof collected) {
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

namespace {

// Whether a KAVELO_THREADS of `setting` is a number, and then the workers
// it asks for in `*workers`.  A number of any length counts: past the most,
// more digits only mean more.
bool WorkersSetting(const char* setting, unsigned* workers) {
  if (*setting == '\0') return false;
  unsigned value = 0;
  const char* digit = setting;
  for (; *digit >= '0' && *digit <= '9'; ++digit) {
    if (value < kMaxReadAheadWorkers) value = value * 10 + (*digit - '0');
  }
  if (*digit != '\0') return false;
  *workers = value < kMaxReadAheadWorkers ? value : kMaxReadAheadWorkers;
  return true;
}

// Whether KAVELO_THREADS asks for a number of workers, and then how many.
bool AskedWorkers(unsigned* workers) {
  char buffer[16];
  uint32_t length =
      platform::EnvironmentVariable("KAVELO_THREADS", buffer, sizeof buffer);
  if (length == 0) return false;
  if (length < sizeof buffer) return WorkersSetting(buffer, workers);
  // Longer than a count needs, yet perhaps still a number: read it whole.
  // `length` is the size it needs, its NUL counted.
  auto* whole = static_cast<char*>(memory::Allocate(length));
  if (whole == nullptr) return false;
  bool asked = false;
  uint32_t read =
      platform::EnvironmentVariable("KAVELO_THREADS", whole, length);
  if (read > 0 && read < length) asked = WorkersSetting(whole, workers);
  memory::Release(whole);
  return asked;
}

}  // namespace

unsigned ReadAheadWorkers(unsigned processors, WorkersStart* start) {
  unsigned workers;
  // Workers asked for start at once, on one processor too: the setting
  // means the same everywhere, and KAVELO_THREADS=1 still reads ahead from
  // the first directory, as before.
  *start = WorkersStart::kAtOnce;
  if (AskedWorkers(&workers)) return workers;
  // On one processor a worker only takes the walk's processor while reads
  // are quick, and handing it lists costs the walk some 4% warm: it starts
  // only once reads wait on the disk, where it overlaps them.
  if (processors <= 1) *start = WorkersStart::kWhenReadsSlow;
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
