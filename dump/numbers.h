// Numbers and stored times as kavelo-dump's forms write them.
#pragma once

#include <cstddef>
#include <cstdint>

// Each writes the text to `out`, which has room for it, and returns its
// length: 20 bytes at most for a number.
size_t FormatUnsigned(uint64_t value, char* out);
size_t FormatSigned(int64_t value, char* out);

// A stored time as the listing shows it: ISO 8601 UTC, or `0` (before 1900)
// and `-1` (out of range) as they are; with `raw` the number.  Writes at most
// kTimeTextSize bytes to `out` and returns how many.
constexpr size_t kTimeTextSize = 20;
size_t FormatTime(int32_t time, bool raw, char* out);

// The database time of the header: the writer's clock reading, ISO 8601 UTC,
// or `-1` when the 32-bit clock failed; with `raw` the number.
size_t FormatDatabaseTime(uint32_t time, bool raw, char* out);
