#include "platform/posix/key_sequences.h"

#include <cstdlib>

namespace platform::posix {

namespace {

constexpr int kEscape = 0x1B;

enum Modifier { kNone, kShift, kCtrl, kAlt };

// A key and its extended codes: none, Shift, Ctrl, Alt.
struct KeyCodes {
  bool cursorBlock;  // lead 0xE0 (unless Alt)
  int codes[4];
};

constexpr KeyCodes kF[12] = {
    {false, {0x3B, 0x54, 0x5E, 0x68}}, {false, {0x3C, 0x55, 0x5F, 0x69}},
    {false, {0x3D, 0x56, 0x60, 0x6A}}, {false, {0x3E, 0x57, 0x61, 0x6B}},
    {false, {0x3F, 0x58, 0x62, 0x6C}}, {false, {0x40, 0x59, 0x63, 0x6D}},
    {false, {0x41, 0x5A, 0x64, 0x6E}}, {false, {0x42, 0x5B, 0x65, 0x6F}},
    {false, {0x43, 0x5C, 0x66, 0x70}}, {false, {0x44, 0x5D, 0x67, 0x71}},
    {true, {0x85, 0x87, 0x89, 0x8B}},  {true, {0x86, 0x88, 0x8A, 0x8C}},
};
constexpr KeyCodes kHome = {true, {0x47, 0x47, 0x77, 0x97}};
constexpr KeyCodes kUp = {true, {0x48, 0x48, 0x8D, 0x98}};
constexpr KeyCodes kPageUp = {true, {0x49, 0x49, 0x84, 0x99}};
constexpr KeyCodes kLeft = {true, {0x4B, 0x4B, 0x73, 0x9B}};
constexpr KeyCodes kRight = {true, {0x4D, 0x4D, 0x74, 0x9D}};
constexpr KeyCodes kEnd = {true, {0x4F, 0x4F, 0x75, 0x9F}};
constexpr KeyCodes kDown = {true, {0x50, 0x50, 0x91, 0xA0}};
constexpr KeyCodes kPageDown = {true, {0x51, 0x51, 0x76, 0xA1}};
constexpr KeyCodes kInsert = {true, {0x52, 0x52, 0x92, 0xA2}};
constexpr KeyCodes kDelete = {true, {0x53, 0x53, 0x93, 0xA3}};

// xterm's modifier parameter (1 + Shift 1 + Alt 2 + Ctrl 4), reduced as
// _getch does: Alt first, then Ctrl, then Shift.
Modifier FromParameter(int parameter) {
  int bits = parameter - 1;
  if (bits & 2) return kAlt;
  if (bits & 4) return kCtrl;
  if (bits & 1) return kShift;
  return kNone;
}

SequenceMatch Found(const KeyCodes& key, Modifier modifier, int* lead,
                    int* code) {
  *lead = key.cursorBlock && modifier != kAlt ? 0xE0 : 0;
  *code = key.codes[modifier];
  return SequenceMatch::Key;
}

// The key of a final letter: `ESC [ A`, `ESC O A`, `ESC [ 1 ; 5 A`.
const KeyCodes* LetterKey(unsigned char letter) {
  switch (letter) {
    case 'A': return &kUp;
    case 'B': return &kDown;
    case 'C': return &kRight;
    case 'D': return &kLeft;
    case 'H': return &kHome;
    case 'F': return &kEnd;
    case 'P': return &kF[0];
    case 'Q': return &kF[1];
    case 'R': return &kF[2];
    case 'S': return &kF[3];
    default: return nullptr;
  }
}

// The key of `ESC [ n ~` (VT220 numbering).
const KeyCodes* TildeKey(int number) {
  switch (number) {
    case 1:
    case 7: return &kHome;
    case 2: return &kInsert;
    case 3: return &kDelete;
    case 4:
    case 8: return &kEnd;
    case 5: return &kPageUp;
    case 6: return &kPageDown;
    case 11:
    case 12:
    case 13:
    case 14:
    case 15: return &kF[number - 11];
    case 17:
    case 18:
    case 19:
    case 20:
    case 21: return &kF[number - 12];
    case 23:
    case 24: return &kF[number - 13];
    default: return nullptr;
  }
}

}  // namespace

SequenceMatch DecodeKeySequence(const unsigned char* bytes, size_t length,
                                int* lead, int* code) {
  if (length == 0 || bytes[0] != kEscape) return SequenceMatch::Unknown;
  if (length == 1) return SequenceMatch::Incomplete;
  if (bytes[1] == 'O') {  // SS3: xterm's application keypad and F1-F4
    if (length == 2) return SequenceMatch::Incomplete;
    const KeyCodes* key = LetterKey(bytes[2]);
    if (length != 3 || key == nullptr) return SequenceMatch::Unknown;
    return Found(*key, kNone, lead, code);
  }
  if (bytes[1] != '[') return SequenceMatch::Unknown;
  if (length == 2) return SequenceMatch::Incomplete;
  if (bytes[2] == '[') {  // the Linux console's F1-F5: ESC [ [ A..E
    if (length == 3) return SequenceMatch::Incomplete;
    if (length != 4 || bytes[3] < 'A' || bytes[3] > 'E') {
      return SequenceMatch::Unknown;
    }
    return Found(kF[bytes[3] - 'A'], kNone, lead, code);
  }
  // CSI: parameters and intermediates, then one final byte.
  size_t final = 2;
  while (final < length && bytes[final] >= 0x20 && bytes[final] <= 0x3F) {
    ++final;
  }
  if (final == length) return SequenceMatch::Incomplete;
  if (final != length - 1 || bytes[final] < 0x40 || bytes[final] > 0x7E) {
    return SequenceMatch::Unknown;
  }
  int parameters[2] = {0, 1};
  int count = 0;
  for (size_t i = 2; i < final;) {
    if (count == 2 || bytes[i] < '0' || bytes[i] > '9') {
      return SequenceMatch::Unknown;
    }
    int value = 0;
    while (i < final && bytes[i] >= '0' && bytes[i] <= '9') {
      value = value * 10 + (bytes[i++] - '0');
      if (value > 1000) return SequenceMatch::Unknown;
    }
    parameters[count++] = value;
    if (i < final) {
      if (bytes[i] != ';') return SequenceMatch::Unknown;
      ++i;
    }
  }
  // Modified letter keys come as `ESC [ 1 ; m X`; anything else ending in
  // a letter (a cursor position report `ESC [ row ; col R`) is no key.
  if (count == 2 && (parameters[1] < 1 || parameters[1] > 16)) {
    return SequenceMatch::Unknown;
  }
  if (bytes[final] != '~' && count == 2 && parameters[0] != 1) {
    return SequenceMatch::Unknown;
  }
  Modifier modifier = FromParameter(count == 2 ? parameters[1] : 1);
  const KeyCodes* key =
      bytes[final] == '~' ? TildeKey(parameters[0]) : LetterKey(bytes[final]);
  if (key == nullptr) return SequenceMatch::Unknown;
  if (bytes[final] != '~' && count == 1) return SequenceMatch::Unknown;
  return Found(*key, modifier, lead, code);
}

}  // namespace platform::posix
