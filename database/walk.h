// The depth-first walk of one drive's tree.
#pragma once

#include <cstddef>
#include <cstdint>

#include "database/read_ahead.h"
#include "platform/platform.h"

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
