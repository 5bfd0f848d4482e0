// The terminal key decoder.  The reader feeds it one byte at a time and
// stops at the first answer that is not Incomplete, so a key's sequence must
// have no prefix that is already a key or unknown; and a key gives a lead
// of 0 or 0xE0 and one of _getch's extended codes.
#include <cstdint>
#include <cstdlib>

#include "platform/posix/key_sequences.h"

using platform::posix::DecodeKeySequence;
using platform::posix::SequenceMatch;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int lead = -1;
  int code = -1;
  SequenceMatch match = DecodeKeySequence(data, size, &lead, &code);
  if (match != SequenceMatch::Key) return 0;
  if ((lead != 0 && lead != 0xE0) || code < 0x3B || code > 0xA3) abort();
  for (size_t length = 1; length < size; ++length) {
    int prefixLead, prefixCode;
    if (DecodeKeySequence(data, length, &prefixLead, &prefixCode) !=
        SequenceMatch::Incomplete) {
      abort();
    }
  }
  return 0;
}
