// Run results: what a scan run, the walk and the writer report; also the
// program's exit codes.
#pragma once

#include <cstdint>

enum : uint32_t {
  kResultWritten = 0,         // the database is written (or, for a step: done)
  kResultCannotCreate = 1,    // the database file cannot be created
  kResultCannotWrite = 2,     // a write to the database file failed
  kResultNothingWritten = 4,  // Abort chosen, or no drive could be walked
  kResultNoMemory = 5,        // no memory for the record store
};
