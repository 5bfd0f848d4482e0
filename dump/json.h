// --json: JSON Lines, the header as the first object, then an object a
// record.
#pragma once

#include "database/reader.h"
#include "dump/output.h"

// The label of a JSON object: the `"database"` key and its value, and a
// comma.
void MakeJsonLabel(Output* label, const char* database);
void WriteJsonHeader(Output* out, const DatabaseHeader& header,
                     const FormStyle& style);
void WriteJsonRecord(Output* out, const DatabaseRecord& record,
                     const FormStyle& style);
// A record's times and size as an object of their own, as --diff gives
// them: {"last_write":...,"size":N}.
void WriteJsonNumbers(Output* out, const DatabaseRecord& record, bool raw);
