// The listing, kavelo-dump's form for people: the header's lines, then a
// tab-separated line per record; and the paths alone, each ended by NUL.
#pragma once

#include "database/reader.h"
#include "dump/output.h"

void WriteHeaderLines(Output* out, const DatabaseHeader& header, bool raw);
void WriteListRecord(Output* out, const DatabaseRecord& record, bool raw);
void WritePathWithNul(Output* out, const DatabaseRecord& record);
