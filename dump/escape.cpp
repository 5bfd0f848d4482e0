#include "dump/escape.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// The length of the UTF-8 sequence at `bytes` (of `count`), or 0 when the
// bytes there are no well-formed UTF-8: no overlong forms, no surrogates,
// nothing past U+10FFFF.
size_t Utf8Length(const uint8_t* bytes, size_t count) {
  uint8_t lead = bytes[0];
  size_t length;
  uint8_t low = 0x80;
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (count < length || bytes[1] < low || bytes[1] > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (bytes[i] < 0x80 || bytes[i] > 0xBF) return 0;
  }
  return length;
}

}  // namespace

void PutEscaped(Output* out, const char* text, size_t length, bool json) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text);
  size_t i = 0;
  while (i < length) {
    uint8_t c = bytes[i];
    char* room = out->Room(8);
    size_t used = 1;
    if (c >= 0x80) {
      size_t sequence = Utf8Length(bytes + i, length - i);
      if (sequence != 0) {
        memcpy(room, bytes + i, sequence);
        out->Commit(sequence);
        i += sequence;
        continue;
      }
    }
    if (c >= 0x80 || c == '<') {
      room[0] = '<';
      room[1] = kHexDigits[c >> 4];
      room[2] = kHexDigits[c & 15];
      room[3] = '>';
      used = 4;
    } else if (json && (c == '"' || c == '\\')) {
      room[0] = '\\';
      room[1] = static_cast<char>(c);
      used = 2;
    } else if (json && c < 0x20) {
      memcpy(room, "\\u00", 4);
      room[4] = kHexDigits[c >> 4];
      room[5] = kHexDigits[c & 15];
      used = 6;
    } else if (!json && c == '"') {
      room[0] = '"';
      room[1] = '"';
      used = 2;
    } else {
      room[0] = static_cast<char>(c);
    }
    out->Commit(used);
    ++i;
  }
}

void PutJsonString(Output* out, const char* text, size_t length) {
  out->Put('"');
  PutEscaped(out, text, length, true);
  out->Put('"');
}

void PutCsvField(Output* out, const char* text, size_t length) {
  // RFC 4180 quotes a field that holds a quote, a comma or a line break.
  bool quoted = false;
  for (size_t i = 0; i < length && !quoted; ++i) {
    char c = text[i];
    quoted = c == '"' || c == ',' || c == '\r' || c == '\n';
  }
  if (quoted) out->Put('"');
  PutEscaped(out, text, length, false);
  if (quoted) out->Put('"');
}

void PutText(Output* out, const char* text) { out->Append(text, strlen(text)); }
