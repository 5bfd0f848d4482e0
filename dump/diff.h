// kavelo-dump --diff OLD NEW: what changed from one database to the other.
#pragma once

#include "dump/options.h"
#include "dump/output.h"
#include "dump/wildcard.h"

// Compares files[0] (OLD) with files[1] (NEW) of `options`, writing the
// differences to `out` in the form asked for.  Returns the exit code as
// diff and cmp give it: 0 no difference, 1 differences, 2 trouble.
int DiffDatabases(const DumpOptions& options, const MatchPattern* patterns,
                  Output* out);
