// --csv: RFC 4180 CSV with a title row and CRLF line ends.
#pragma once

#include "database/reader.h"
#include "dump/output.h"

// The title row; `labelled` when the records are labelled with their
// database.
void WriteCsvTitles(Output* out, bool labelled = false);
// The label of a CSV record: the database's name as a field, and a comma.
void MakeCsvLabel(Output* label, const char* database);
void WriteCsvRecord(Output* out, const DatabaseRecord& record,
                    const FormStyle& style);
