// The listing, kavelo-dump's form for people: the header's lines, then a
// tab-separated line per record; and the paths alone, each ended by NUL.
#pragma once

#include "database/reader.h"
#include "dump/output.h"

// The header's lines; with `database` (when several are read) a line
// naming it first.
void WriteHeaderLines(Output* out, const DatabaseHeader& header, bool raw,
                      const char* database = nullptr);
// The label of a listing's records: the database's name and a tab.
void MakeListLabel(Output* label, const char* database);
void WriteListRecord(Output* out, const DatabaseRecord& record,
                     const FormStyle& style);
void WritePathWithNul(Output* out, const DatabaseRecord& record);
