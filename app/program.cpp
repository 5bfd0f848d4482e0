#include "app/program.h"

#include <cstdio>
#include <cstring>

#include "app/options.h"
#include "app/run.h"
#include "app/settings.h"
#include "database/db_writer.h"
#include "platform/platform.h"

namespace {

constexpr char kOverlongDrives[] =
    "Drive specification %s is longer than 39 characters.\n";

// Rebuilds the drive specification "1" from the fixed drives.
void ExpandAllFixedDrives(char* driveSpecification) {
  // Room for 26 drives of four characters and the closing empty entry.
  char list[26 * 4 + 1];
  uint32_t length = platform::LogicalDriveStrings(sizeof list, list);
  if (length == 0 || length >= sizeof list) list[0] = '\0';
  SelectFixedDrives(list, platform::DriveType, driveSpecification);
}

}  // namespace

int RunProgram(int argc, char** argv) {
  RunRequest request;
  gQuiet = false;
  gCreator.Free();
  gDescription.Free();
  ParseCommandLine(argc, argv, &request, &gCreator, &gDescription);
  if (request.help) {
    fputs(kUsageText, stderr);
    return 1;
  }

  char message[512];
  if (!platform::Initialize(message, sizeof message)) {
    fputs(message, stderr);
    return 1;
  }
  gQuiet = request.quiet;
  if (request.overlongDriveSpecification != nullptr) {
    fprintf(stderr, kOverlongDrives, request.overlongDriveSpecification);
    return 1;
  }
  if (request.overlongDatabasePath != nullptr) {
    fprintf(stderr, ResultMessage(kResultCannotCreate),
            request.overlongDatabasePath);
    return kResultCannotCreate;
  }

  // What the command line left open comes from the stored settings; a path
  // given with -D is taken as it is.
  bool pathGiven = request.databasePath[0] != '\0';
  bool drivesGiven = request.driveSpecification[0] != '\0';
  if (!pathGiven || !drivesGiven) {
    if (!platform::PrepareSettings(message, sizeof message)) {
      fputs(message, stderr);
      return 1;
    }
    DynString overlong;
    if (!ReadSettings(
            argc > 0 ? argv[0] : "", pathGiven ? nullptr : request.databasePath,
            drivesGiven ? nullptr : request.driveSpecification, &overlong)) {
      fprintf(stderr, kOverlongDrives, overlong.Text());
      return 1;
    }
  }

  if (strcmp(request.driveSpecification, "1") == 0) {
    ExpandAllFixedDrives(request.driveSpecification);
  }
  platform::UpperCase(request.driveSpecification);

  uint32_t result =
      BuildDatabase(request.databasePath, request.driveSpecification);
  if (const char* text = ResultMessage(result)) {
    fprintf(stderr, text, request.databasePath);
  }
  return static_cast<int>(result);
}
