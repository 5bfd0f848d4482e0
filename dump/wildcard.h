// The --match patterns: Windows-style wildcards.
#pragma once

#include <cstddef>

struct MatchPattern {
  const char* text;
  size_t length;
  // A pattern holding `\` is matched against the whole path, any other
  // against the file name, the part after the last `\`.
  bool wholePath;
};

MatchPattern MakeMatchPattern(const char* text);

// True when `name` matches `pattern` as Windows matches names: `*` stands for
// any run of characters, `?` for one; letters compare without case, as in
// the ANSI code page 1252 (ASCII, and the accented Latin letters); a ".*"
// that ends the pattern also matches nothing, so "*.*" matches every name.
bool WildcardMatch(const char* pattern, size_t patternLength, const char* name,
                   size_t nameLength);

// True when any of the `count` patterns keeps the record `path`.
bool PathMatchesAny(const MatchPattern* patterns, int count, const char* path,
                    size_t length);
