// The depth-first walk of one drive's tree.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// When the read-ahead workers of a walk start.
enum class WorkersStart {
  kAtOnce,
  // Once the walk's own reads of directories turn slow, waiting on the disk
  // rather than on a processor: until then the walk reads alone.  On one
  // processor a worker only costs the walk while reads are quick.
  kWhenReadsSlow,
};

// Walks `directory` (a path without a trailing `\`, such as `C:`) and
// everything below it, appending one record per file to the record store.
// `workers` threads read directories ahead of the walk (none: the walk reads
// each itself), started as `start` says; the records and their order are the
// same either way.
// Returns kResultWritten when the walk ran to its end, kResultNoMemory when
// memory for the store, for the walk's list of directories entered through
// links, or for a search cannot be obtained, and kWalkNoDescriptors when a
// directory cannot be searched for want of a descriptor even with no other
// search holding one.  Unreadable directories yield nothing and no error,
// and so does a directory that is no longer the one its parent's search saw
// (removed, or replaced by another or by a link).  A link is followed unless
// it leads back to a directory on the current path, or to one the walk has
// already entered through a link.
uint32_t WalkDirectory(const char* directory, unsigned workers,
                       WorkersStart start = WorkersStart::kAtOnce);

// The walk's own failure beside kResultNoMemory; not an exit code.
constexpr uint32_t kWalkNoDescriptors = 6;

// True when the search pattern (`\*.*` added) of a directory whose path has
// `length` characters fits a path buffer: only such a directory is searched.
constexpr bool PatternFits(size_t length) {
  return length + 4 < platform::kPathSize;
}

// The name to record and walk for an entry, and its length in `*length`.  An
// ANSI search reports a name the code page cannot spell with `?` in it; the
// short name then names the real file.
const char* EntryName(const platform::FindEntry& entry, size_t* length);
