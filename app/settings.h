// What the command line leaves open (the database path, the drive letters)
// comes from the current user's registry, or else the defaults.
#pragma once

#include <cstddef>

#include "support/dyn_string.h"
#include "support/text.h"

// `FILES.DBS` in the directory of `programPath` (up to and including its
// last `separator`), written to `out` (platform::kPathSize bytes).  A directory
// that leaves no room for the name gives `FILES.DBS` alone, in the current
// directory.
void DefaultDatabasePath(const char* programPath, char separator, char* out);

// True when a search for `path` finds an entry that is not a plain directory
// (attributes exactly 16): a file, or a directory with further attributes.
bool PathExists(const char* path);

// Fills the buffers it is given (null: the command line set it) from the
// values DatabaseFile and Drives of the key Software\Pelmar\Database under
// HKEY_CURRENT_USER, else from the defaults: FILES.DBS beside the program, and
// "1". A database path that does not exist and cannot be created becomes the
// default.  Returns false when the stored Drives value is longer than 39
// characters; `overlongDrives` then holds it.
bool ReadSettings(const char* programPath, char* databasePath,
                  char* driveSpecification, DynString* overlongDrives);
