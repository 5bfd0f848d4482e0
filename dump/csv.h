// --csv: RFC 4180 CSV with a title row and CRLF line ends.
#pragma once

#include "database/reader.h"
#include "dump/output.h"

void WriteCsvTitles(Output* out);
void WriteCsvRecord(Output* out, const DatabaseRecord& record, bool raw);
