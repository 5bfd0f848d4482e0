// The name the walk records and enters for an entry a search reported: below
// both the walk and the directory list, which each take it.
#pragma once

#include <cstddef>

#include "platform/platform.h"

// The name to record and walk for an entry, and its length in `*length`.  An
// ANSI search reports a name the code page cannot spell with `?` in it; the
// short name then names the real file.
const char* EntryName(const platform::FindEntry& entry, size_t* length);
