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
// Blocks that went to the disk during the walk (see SpillStart) are in that
// file already: only the rest is written, and the header completed.
uint32_t WriteDatabase(const char* path, const char* driveLetters,
                       uint32_t databaseTime);

// From now until WriteDatabase or SpillAbandon, the record store's blocks
// past its budget go to the file that will become the database at `path`,
// created at the first such block behind a provisional header that names
// the letters SpillExpect last gave (the time left 0); for a device or a
// pipe, to a scratch file.  A create or a write that fails leaves the block
// in memory and sends nothing more: the writer meets the failure again at
// the end and reports it.
void SpillStart(const char* path);
// The drive letters the header will name if every walk still to come ends
// normally.
void SpillExpect(const char* driveLetters);
// Gives the spill up: its file is closed and removed.  Nothing happens when
// no spill is under way.
void SpillAbandon();

// Gives the spill up when the scan run ends without writing the database.
class SpillOwner {
 public:
  SpillOwner() = default;
  ~SpillOwner() { SpillAbandon(); }
  SpillOwner(const SpillOwner&) = delete;
  SpillOwner& operator=(const SpillOwner&) = delete;
};
