// The database file: header, then the record store's blocks, laid out as
// database/format.h describes.
#pragma once

#include <cstdint>

#include "database/write_sink.h"
#include "support/dyn_string.h"

// The header texts, program-wide; destroyed at exit, the description first.
extern DynString gCreator;
extern DynString gDescription;

// Writes the header and every block of the record store to `sink`, one
// write each, releasing each block after its write.  Returns kResultWritten,
// or kResultCannotWrite when a write took fewer bytes than asked.
uint32_t WriteDatabaseTo(const WriteSink& sink, const char* driveLetters,
                         uint32_t databaseTime);

// Writes the database file at `path` (a native path; a link to a file is
// written through).  Returns kResultWritten, kResultCannotCreate or
// kResultCannotWrite.  The file is written beside `path` under a name of its
// own and replaces it only when complete and flushed, so on failure an
// earlier database stays as it was; a device or pipe is written in place.
uint32_t WriteDatabase(const char* path, const char* driveLetters,
                       uint32_t databaseTime);
