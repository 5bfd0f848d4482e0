#include "platform/posix/key_sequences.h"

#include <gtest/gtest.h>

#include <string>

using platform::posix::DecodeKeySequence;
using platform::posix::SequenceMatch;

namespace {

SequenceMatch Decode(const std::string& bytes, int* lead, int* code) {
  return DecodeKeySequence(reinterpret_cast<const unsigned char*>(bytes.data()),
                           bytes.size(), lead, code);
}

}  // namespace

TEST(KeySequences, KeysOfTheCommonTerminals) {
  struct Case {
    const char* bytes;
    int lead;
    int code;
  };
  const Case cases[] = {
      {"\x1bOP", 0, 0x3B},
      {"\x1bOS", 0, 0x3E},  // xterm F1, F4
      {"\x1b[11~", 0, 0x3B},
      {"\x1b[15~", 0, 0x3F},  // VT220 F1, F5
      {"\x1b[[A", 0, 0x3B},
      {"\x1b[[E", 0, 0x3F},  // Linux console
      {"\x1b[18~", 0, 0x41},
      {"\x1b[21~", 0, 0x44},  // F7, F10
      {"\x1b[23~", 0xE0, 0x85},
      {"\x1b[24~", 0xE0, 0x86},  // F11, F12
      {"\x1b[2~", 0xE0, 0x52},
      {"\x1b[3~", 0xE0, 0x53},  // Insert, Delete
      {"\x1b[1~", 0xE0, 0x47},
      {"\x1b[H", 0xE0, 0x47},  // Home
      {"\x1bOH", 0xE0, 0x47},
      {"\x1b[4~", 0xE0, 0x4F},  // Home, End
      {"\x1b[F", 0xE0, 0x4F},
      {"\x1b[5~", 0xE0, 0x49},  // End, Page Up
      {"\x1b[6~", 0xE0, 0x51},
      {"\x1b[A", 0xE0, 0x48},  // Page Down, Up
      {"\x1b[B", 0xE0, 0x50},
      {"\x1bOD", 0xE0, 0x4B},  // Down, Left
      {"\x1b[C", 0xE0, 0x4D},  // Right
      // Modifiers as xterm reports them; Alt drops the 0xE0 lead.
      {"\x1b[1;2P", 0, 0x54},
      {"\x1b[18;5~", 0, 0x64},  // Shift+F1, Ctrl+F7
      {"\x1b[18;3~", 0, 0x6E},
      {"\x1b[18;7~", 0, 0x6E},  // Alt+F7, Ctrl+Alt
      {"\x1b[1;5A", 0xE0, 0x8D},
      {"\x1b[1;3A", 0, 0x98},  // Ctrl+Up, Alt+Up
      {"\x1b[2;5~", 0xE0, 0x92},
      {"\x1b[24;3~", 0, 0x8C},    // Ctrl+Ins, Alt+F12
      {"\x1b[1;2C", 0xE0, 0x4D},  // Shift+Right
  };
  for (const Case& c : cases) {
    int lead = -1, code = -1;
    ASSERT_EQ(SequenceMatch::Key, Decode(c.bytes, &lead, &code)) << c.bytes + 1;
    EXPECT_EQ(c.lead, lead) << c.bytes + 1;
    EXPECT_EQ(c.code, code) << c.bytes + 1;
  }
}

TEST(KeySequences, PrefixesWaitAndStrangersAreUnknown) {
  int lead, code;
  for (const char* prefix :
       {"\x1b", "\x1b[", "\x1bO", "\x1b[1", "\x1b[1;", "\x1b[[", "\x1b[18;5"}) {
    EXPECT_EQ(SequenceMatch::Incomplete, Decode(prefix, &lead, &code))
        << prefix + 1;
  }
  for (const char* unknown : {"\x1bx", "\x1b[99~", "\x1b[12;40R", "\x1bOx",
                              "\x1b[[Z", "\x1b[200~", "\x1b[5A", "x"}) {
    EXPECT_EQ(SequenceMatch::Unknown, Decode(unknown, &lead, &code)) << unknown;
  }
}

// Every key of the table with each modifier, against the codes _getch is
// documented to give: F1-F10 0x3B-0x44, Shift 0x54-0x5D, Ctrl 0x5E-0x67,
// Alt 0x68-0x71; F11/F12 0x85/0x86, Shift 0x87/0x88, Ctrl 0x89/0x8A, Alt
// 0x8B/0x8C; the cursor block as Microsoft's extended-code table lists it.
TEST(KeySequences, EveryKeyAndModifierGivesTheDocumentedCode) {
  struct Key {
    const char* name;
    const char* final;  // `~` keys: their number; letter keys: the letter
    bool cursorBlock;
    int codes[4];  // none, Shift, Ctrl, Alt
  };
  const Key keys[] = {
      {"F1", "P", false, {0x3B, 0x54, 0x5E, 0x68}},
      {"F2", "Q", false, {0x3C, 0x55, 0x5F, 0x69}},
      {"F3", "R", false, {0x3D, 0x56, 0x60, 0x6A}},
      {"F4", "S", false, {0x3E, 0x57, 0x61, 0x6B}},
      {"F5", "15", false, {0x3F, 0x58, 0x62, 0x6C}},
      {"F6", "17", false, {0x40, 0x59, 0x63, 0x6D}},
      {"F7", "18", false, {0x41, 0x5A, 0x64, 0x6E}},
      {"F8", "19", false, {0x42, 0x5B, 0x65, 0x6F}},
      {"F9", "20", false, {0x43, 0x5C, 0x66, 0x70}},
      {"F10", "21", false, {0x44, 0x5D, 0x67, 0x71}},
      {"F11", "23", true, {0x85, 0x87, 0x89, 0x8B}},
      {"F12", "24", true, {0x86, 0x88, 0x8A, 0x8C}},
      {"Home", "H", true, {0x47, 0x47, 0x77, 0x97}},
      {"Up", "A", true, {0x48, 0x48, 0x8D, 0x98}},
      {"Page Up", "5", true, {0x49, 0x49, 0x84, 0x99}},
      {"Left", "D", true, {0x4B, 0x4B, 0x73, 0x9B}},
      {"Right", "C", true, {0x4D, 0x4D, 0x74, 0x9D}},
      {"End", "F", true, {0x4F, 0x4F, 0x75, 0x9F}},
      {"Down", "B", true, {0x50, 0x50, 0x91, 0xA0}},
      {"Page Down", "6", true, {0x51, 0x51, 0x76, 0xA1}},
      {"Insert", "2", true, {0x52, 0x52, 0x92, 0xA2}},
      {"Delete", "3", true, {0x53, 0x53, 0x93, 0xA3}},
  };
  // xterm's modifier parameters for none, Shift, Ctrl and Alt.
  const char* parameters[4] = {"", "2", "5", "3"};
  for (const Key& key : keys) {
    bool letter = key.final[0] >= 'A';
    for (int modifier = 0; modifier < 4; ++modifier) {
      std::string bytes = "\x1b[";
      if (modifier == 0) {
        bytes += letter ? key.final : std::string(key.final) + "~";
      } else if (letter) {
        bytes += std::string("1;") + parameters[modifier] + key.final;
      } else {
        bytes += std::string(key.final) + ";" + parameters[modifier] + "~";
      }
      int lead = -1, code = -1;
      SCOPED_TRACE(std::string(key.name) + " modifier " +
                   std::to_string(modifier));
      ASSERT_EQ(SequenceMatch::Key, Decode(bytes, &lead, &code));
      EXPECT_EQ(key.cursorBlock && modifier != 3 ? 0xE0 : 0, lead);
      EXPECT_EQ(key.codes[modifier], code);
    }
  }
}
