#include "dump/wildcard.h"

#include <cstdint>
#include <cstring>

namespace {

// Upper case in code page 1252: ASCII, the Latin-1 letters (but the
// multiplication and division signs), and the four letters 1252 places in
// 0x80-0x9F.
struct FoldTable {
  uint8_t upper[256];
  constexpr FoldTable() : upper() {
    for (int c = 0; c < 256; ++c) upper[c] = static_cast<uint8_t>(c);
    for (int c = 'a'; c <= 'z'; ++c) upper[c] = static_cast<uint8_t>(c - 32);
    for (int c = 0xE0; c <= 0xFE; ++c) {
      if (c != 0xF7) upper[c] = static_cast<uint8_t>(c - 32);
    }
    upper[0x9A] = 0x8A;  // š
    upper[0x9C] = 0x8C;  // œ
    upper[0x9E] = 0x8E;  // ž
    upper[0xFF] = 0x9F;  // ÿ
  }
};

constexpr FoldTable kFold;

inline bool Same(uint8_t a, uint8_t b) {
  return kFold.upper[a] == kFold.upper[b];
}

}  // namespace

MatchPattern MakeMatchPattern(const char* text) {
  return {text, strlen(text), strchr(text, '\\') != nullptr};
}

bool WildcardMatch(const char* pattern, size_t patternLength, const char* name,
                   size_t nameLength) {
  const auto* p = reinterpret_cast<const uint8_t*>(pattern);
  const auto* s = reinterpret_cast<const uint8_t*>(name);
  size_t pi = 0;
  size_t si = 0;
  // Where the last `*` was, to let it take one character more on a mismatch.
  size_t starPattern = SIZE_MAX;
  size_t starName = 0;
  while (si < nameLength) {
    if (pi < patternLength && p[pi] == '*') {
      starPattern = ++pi;
      starName = si;
    } else if (pi < patternLength && (p[pi] == '?' || Same(p[pi], s[si]))) {
      ++pi;
      ++si;
    } else if (starPattern != SIZE_MAX) {
      pi = starPattern;
      si = ++starName;
    } else {
      return false;
    }
  }
  while (pi < patternLength && p[pi] == '*') ++pi;
  if (pi + 2 == patternLength && p[pi] == '.' && p[pi + 1] == '*') return true;
  return pi == patternLength;
}

bool PathMatchesAny(const MatchPattern* patterns, int count, const char* path,
                    size_t length) {
  size_t nameStart = length;
  while (nameStart > 0 && path[nameStart - 1] != '\\') --nameStart;
  for (int i = 0; i < count; ++i) {
    const MatchPattern& pattern = patterns[i];
    bool matched =
        pattern.wholePath
            ? WildcardMatch(pattern.text, pattern.length, path, length)
            : WildcardMatch(pattern.text, pattern.length, path + nameStart,
                            length - nameStart);
    if (matched) return true;
  }
  return false;
}
