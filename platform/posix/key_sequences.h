// What the keys of a terminal send, turned into the two values the Windows
// C runtime's _getch gives for a key without a character: a lead (0, or 0xE0
// for the separate cursor block and F11/F12 unless Alt is held) and the
// key's extended code.  The table covers xterm and its kin, the Linux
// console and the VT220.
#pragma once

#include <cstddef>

namespace platform::posix {

enum class SequenceMatch {
  Key,         // a key: *lead and *code are set
  Incomplete,  // a prefix of some sequence: more bytes may follow
  Unknown,     // no key sends this
};

// Decodes `bytes` (starting with ESC) of `length`.
SequenceMatch DecodeKeySequence(const unsigned char* bytes, size_t length,
                                int* lead, int* code);

}  // namespace platform::posix
