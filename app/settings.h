// What the command line leaves open: the database path and the drive
// specification.
#pragma once

#include <cstddef>

// Position of the last `character` in `text`, or -1.
int LastIndexOf(const char* text, char character);

// `FILES.DBS` in the directory of `programPath` (up to and including its
// last separator), written to `out` (kDatabasePathSize bytes).  A directory
// that leaves no room for the name gives `FILES.DBS` alone, in the current
// directory.
void DefaultDatabasePath(const char* programPath, char separator, char* out);
