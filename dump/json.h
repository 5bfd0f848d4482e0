// --json: JSON Lines, the header as the first object, then an object a
// record.
#pragma once

#include "database/reader.h"
#include "dump/output.h"

void WriteJsonHeader(Output* out, const DatabaseHeader& header, bool raw);
void WriteJsonRecord(Output* out, const DatabaseRecord& record, bool raw);
