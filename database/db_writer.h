// The database file: header, then the record store's blocks.
//
//   offset          size   field
//   0               8      signature "VANTOREX"
//   8               1      format mark 0x04
//   9               c+1    creator text, NUL
//   10+c            d+1    description text, NUL
//   11+c+d          k+1    letters of the drives walked, NUL
//   12+c+d+k        4      database time (seconds since 1970 UTC)
//   16+c+d+k        ...    records, back to back, to the end of the file
#pragma once

#include <cstdint>

#include "support/dyn_string.h"

// The header texts, program-wide; destroyed at exit, the description first.
extern DynString gCreator;
extern DynString gDescription;

// Where the writer's bytes go.  `write` returns how many bytes it took.
struct WriteSink {
  uint32_t (*write)(void* context, const void* bytes, uint32_t count);
  void* context;
};

// Writes the header and every block of the record store to `sink`, one
// write each, releasing each block after its write.  Returns 0, or 2 when a
// write took fewer bytes than asked.  Releases the whole store either way.
uint32_t WriteDatabaseTo(const WriteSink& sink, const char* driveLetters,
                         uint32_t databaseTime);

// Writes the database file at `path` (a native path).  Returns 0 written,
// 1 the file cannot be created, 2 a write failed.  The file is written
// beside `path` and moved over it only when complete, so on failure an
// earlier database stays as it was; a device or pipe is written in place.
// Releases the whole record store on every path.
uint32_t WriteDatabase(const char* path, const char* driveLetters,
                       uint32_t databaseTime);
