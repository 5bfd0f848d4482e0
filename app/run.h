// The scan run: the chosen drives, one by one, then the database file.
#pragma once

#include <cstdint>

#include "database/result.h"
#include "database/walk.h"

// Program-wide: set by -Q; a drive that is not ready is then skipped without
// asking.
extern bool gQuiet;

// Walks every drive of `driveSpecification` (upper-case letters; repeats
// are walked again) and writes the database to `databasePath`.  Returns a
// run result: 0, 1, 2, 4 (Abort chosen, or no drive walked) or 5 (no memory
// for the first block).
uint32_t BuildDatabase(const char* databasePath,
                       const char* driveSpecification);

// The letters of the fixed drives in `logicalDriveStrings` (entries `X:\`
// NUL, ending with an empty entry), in their order, written to `out`, which
// has room for 27 characters.
void SelectFixedDrives(const char* logicalDriveStrings,
                       uint32_t (*driveType)(const char* root), char* out);

// The number of read-ahead workers for the walk: KAVELO_THREADS when it is a
// number, 0 meaning none; otherwise one per processor.  Never more than the
// walk takes.  `*start` says when they start: at once, but on one processor
// and not asked for, once the walk's reads turn slow.
unsigned ReadAheadWorkers(unsigned processors, WorkersStart* start);

// The message printed for a run result (`%s` is the database path), or null.
const char* ResultMessage(uint32_t result);
