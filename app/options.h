// The command line, turned into the run request.
#pragma once

#include <cstddef>

#include "platform/platform.h"
#include "support/dyn_string.h"

constexpr size_t kDriveSpecificationSize = 40;  // 39 letters and NUL

struct RunRequest {
  char driveSpecification[kDriveSpecificationSize] = {};
  char databasePath[platform::kPathSize] = {};
  bool quiet = false;
  bool help = false;
  // The last -L or -D value that did not fit its buffer, or null; the
  // buffer then stays empty.
  const char* overlongDriveSpecification = nullptr;
  const char* overlongDatabasePath = nullptr;
};

extern const char kUsageText[];

// Parses argv[1] to argv[argc - 1] into `request`; -Tc and -Td go to
// `creator` and `description`.
void ParseCommandLine(int argc, const char* const* argv, RunRequest* request,
                      DynString* creator, DynString* description);
