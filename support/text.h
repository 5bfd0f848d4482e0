// Small operations on NUL-terminated text.
#pragma once

#include <cstddef>

// Copies the `length` characters at `text` and a NUL into `buffer` of
// `size` bytes when they fit; otherwise leaves `buffer` empty.  Returns
// whether they fit.
bool CopyIfFits(const char* text, size_t length, char* buffer, size_t size);

// Position of the last `character` in `text`, or -1.
int LastIndexOf(const char* text, char character);
