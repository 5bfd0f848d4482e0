// kavelo-dump's listing forms over one database or several, one open at a
// time.
#pragma once

#include "dump/options.h"
#include "dump/output.h"
#include "dump/wildcard.h"

// Reads the files of `options` one after the other, writing each in the
// form asked for to `out`; with several, each record names its database and
// --summary ends with the totals.  A file that cannot be read gets its
// message and the others are still read.  Returns the exit code: the worst
// met, kExitTrouble at once when the output cannot be written.
int DumpDatabases(const DumpOptions& options, const MatchPattern* patterns,
                  Output* out);
