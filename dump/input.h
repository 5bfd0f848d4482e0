// The databases kavelo-dump reads: opening them, and saying why a read
// stopped short.
#pragma once

#include <cstdint>
#include <cstdio>

#include "database/reader.h"

// The exit codes.  The listing forms give the worst they met; --diff gives
// kExitDifferent for differences and kExitTrouble for any fault, as diff
// and cmp do.
constexpr int kExitDone = 0;
constexpr int kExitMalformed = 1;
constexpr int kExitDifferent = 1;
// A file that cannot be read, no memory, output that cannot be written, a
// wrong command line.
constexpr int kExitTrouble = 2;

// Opens the database at `path` for a DatabaseReader reading through
// ReadFromFile; null after saying why on standard error.
FILE* OpenForReading(const char* path);
// A ReadSource's read, `context` being the FILE*.
int64_t ReadFromFile(void* context, void* bytes, uint32_t count);

// Says on standard error why reading `path` stopped with `status` (neither
// kReadItem nor kReadEnd), a fault of `reader`'s when malformed.  Returns the
// exit code of the listing forms: kExitMalformed or kExitTrouble.
int ReportReadStop(ReadStatus status, const DatabaseReader& reader,
                   const char* path);

void ReportNoMemory();
void ReportOutputFailed();
