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
