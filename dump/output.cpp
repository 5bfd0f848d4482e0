#include "dump/output.h"

#include <cstring>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// "00" to "99", so that two digits take one copy.
struct DigitPairs {
  char text[200];
  constexpr DigitPairs() : text() {
    for (int i = 0; i < 100; ++i) {
      text[2 * i] = static_cast<char>('0' + i / 10);
      text[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
  }
};

constexpr DigitPairs kDigitPairs;

size_t FormatUnsigned(uint64_t value, char* out) {
  char digits[20];
  char* at = digits + sizeof digits;
  while (value >= 100) {
    at -= 2;
    memcpy(at, kDigitPairs.text + 2 * (value % 100), 2);
    value /= 100;
  }
  if (value >= 10) {
    at -= 2;
    memcpy(at, kDigitPairs.text + 2 * value, 2);
  } else {
    *--at = static_cast<char>('0' + value);
  }
  size_t count = static_cast<size_t>(digits + sizeof digits - at);
  memcpy(out, at, count);
  return count;
}

size_t FormatSigned(int64_t value, char* out) {
  if (value >= 0) return FormatUnsigned(static_cast<uint64_t>(value), out);
  out[0] = '-';
  return 1 + FormatUnsigned(0 - static_cast<uint64_t>(value), out + 1);
}

void PutTwoDigits(uint32_t value, char* out) {
  memcpy(out, kDigitPairs.text + 2 * value, 2);
}

struct CivilDate {
  uint32_t year;
  uint32_t month;
  uint32_t day;
};

// Day `days` after 1970-01-01 (up to year 9999).  The days become a civil
// date the way the proleptic Gregorian calendar counts them in eras of 400
// years (146097 days) from 0000-03-01 on, so that the leap day ends each
// counted year; unsigned arithmetic keeps the divisions cheap.
CivilDate DateOfDay(int64_t days) {
  // 0000-03-01 to 1970-01-01, 719468 days; day 0 of the 400-year era.
  auto fromEra = static_cast<uint32_t>(days + 719468);
  uint32_t era = fromEra / 146097;
  uint32_t dayOfEra = fromEra - era * 146097;
  uint32_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  uint32_t dayOfYear =
      dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  uint32_t shiftedMonth = (5 * dayOfYear + 2) / 153;  // March is 0
  uint32_t day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
  uint32_t month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
  return {era * 400 + yearOfEra + (month <= 2), month, day};
}

// Writes 2024-05-01.
void PutDate(const CivilDate& date, char* out) {
  PutTwoDigits(date.year / 100, out);
  PutTwoDigits(date.year % 100, out + 2);
  out[4] = '-';
  PutTwoDigits(date.month, out + 5);
  out[7] = '-';
  PutTwoDigits(date.day, out + 8);
}

// The days of a year counted from March 1, so that the leap day ends it:
// each as "MM-DD", and whether it falls in the next calendar year (January
// and February).
struct MarchYearDays {
  struct Day {
    char monthDay[5];
    uint8_t nextYear;
  };
  Day days[366];
  constexpr MarchYearDays() : days() {
    for (uint32_t dayOfYear = 0; dayOfYear < 366; ++dayOfYear) {
      uint32_t shiftedMonth = (5 * dayOfYear + 2) / 153;  // March is 0
      uint32_t day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
      uint32_t month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
      Day& at = days[dayOfYear];
      at.monthDay[0] = static_cast<char>('0' + month / 10);
      at.monthDay[1] = static_cast<char>('0' + month % 10);
      at.monthDay[2] = '-';
      at.monthDay[3] = static_cast<char>('0' + day / 10);
      at.monthDay[4] = static_cast<char>('0' + day % 10);
      at.nextYear = month <= 2;
    }
  }
};

// "00:00" to "23:59", a minute of the day each.
struct DayMinutes {
  char text[24 * 60][5];
  constexpr DayMinutes() : text() {
    for (uint32_t minute = 0; minute < 24 * 60; ++minute) {
      text[minute][0] = static_cast<char>('0' + minute / 600);
      text[minute][1] = static_cast<char>('0' + minute / 60 % 10);
      text[minute][2] = ':';
      text[minute][3] = static_cast<char>('0' + minute % 60 / 10);
      text[minute][4] = static_cast<char>('0' + minute % 10);
    }
  }
};

// A listing formats three times a record: these tables (9 KB) take the
// month, the day and the time of day from a look-up rather than divisions.
constexpr MarchYearDays kMarchYearDays;
constexpr DayMinutes kDayMinutes;

// Writes the date of day `days` after 1970-01-01, for 1900-03-01 to
// 2100-02-28, where every fourth year is a leap year: counted from
// 1900-03-01, the leap day ends every fourth counted year.
void PutDateNear1970(int64_t days, char* out) {
  auto from1900 = static_cast<uint32_t>(days + 25508);  // since 1900-03-01
  uint32_t years = (4 * from1900 + 3) / 1461;
  const MarchYearDays::Day& day =
      kMarchYearDays.days[from1900 - 1461 * years / 4];
  uint32_t year = 1900 + years + day.nextYear;
  PutTwoDigits(year / 100, out);
  PutTwoDigits(year % 100, out + 2);
  out[4] = '-';
  memcpy(out + 5, day.monthDay, 5);
}

// Seconds since 1970 UTC as 2024-05-01T12:00:00Z.
size_t FormatIso(int64_t seconds, char* out) {
  int64_t days;
  if (seconds >= 0) {
    days = seconds / 86400;
  } else {
    days = -((-seconds + 86399) / 86400);
  }
  auto daySecond = static_cast<uint32_t>(seconds - days * 86400);
  // From 1900-03-01, to 2100-01-01.
  if (days >= -25508 && days < 47482) {
    PutDateNear1970(days, out);
  } else {
    PutDate(DateOfDay(days), out);
  }
  uint32_t minutes = daySecond / 60;
  out[10] = 'T';
  memcpy(out + 11, kDayMinutes.text[minutes], 5);
  out[16] = ':';
  PutTwoDigits(daySecond - 60 * minutes, out + 17);
  out[19] = 'Z';
  return 20;
}

// The database time is the writer's clock reading; a 32-bit `time` gives -1
// when it fails, and that shows as such.
size_t FormatDatabaseTime(uint32_t time, bool raw, char* out) {
  if (raw) return FormatUnsigned(time, out);
  if (time == 0xFFFFFFFFu) return FormatSigned(-1, out);
  return FormatIso(time, out);
}

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

// Writes `text` for a JSON string or a CSV field: what is not UTF-8 becomes
// <XX> with the byte's hex value, and `<` itself <3C>, so that the bytes can
// be recovered; JSON escapes `"`, `\` and the control characters, CSV doubles
// `"`.
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

void PutText(Output* out, const char* text) { out->Append(text, strlen(text)); }

// `"name":` and a time, quoted unless raw.
size_t FormatJsonTime(const char* name, int32_t time, bool raw, char* out) {
  size_t used = strlen(name);
  memcpy(out, name, used);
  if (!raw) out[used++] = '"';
  used += FormatTime(time, raw, out + used);
  if (!raw) out[used++] = '"';
  return used;
}

}  // namespace

void Output::Append(const char* bytes, size_t count) {
  while (count > 0) {
    if (used_ == kChunk) Flush();
    size_t part = kChunk - used_ < count ? kChunk - used_ : count;
    memcpy(buffer_ + used_, bytes, part);
    used_ += part;
    bytes += part;
    count -= part;
  }
}

bool Output::Flush() {
  if (file_ == nullptr) {
    // A buffer that must hold all its bytes cannot pass any on.
    if (used_ > 0) failed_ = true;
    used_ = 0;
    return !failed_;
  }
  if (used_ > 0 && !failed_ && fwrite(buffer_, 1, used_, file_) != used_) {
    failed_ = true;
  }
  used_ = 0;
  if (!failed_ && fflush(file_) != 0) failed_ = true;
  return !failed_;
}

bool Output::WriteThrough(const char* bytes, size_t count) {
  if (!Flush()) return false;
  if (count > 0 && fwrite(bytes, 1, count, file_) != count) failed_ = true;
  return !failed_;
}

size_t FormatTime(int32_t time, bool raw, char* out) {
  if (raw || time == 0 || time == -1) return FormatSigned(time, out);
  return FormatIso(time, out);
}

void WriteHeaderLines(Output* out, const DatabaseHeader& header, bool raw) {
  PutText(out, "creator: ");
  PutText(out, header.creator);
  PutText(out, "\ndescription: ");
  PutText(out, header.description);
  PutText(out, "\ndrives: ");
  PutText(out, header.driveLetters);
  PutText(out, "\ntime: ");
  char* room = out->Room(kTimeTextSize + 1);
  size_t used = FormatDatabaseTime(header.time, raw, room);
  room[used++] = '\n';
  out->Commit(used);
}

void WriteListRecord(Output* out, const DatabaseRecord& record, bool raw) {
  constexpr size_t kNumbersText = 4 * (kTimeTextSize + 1);
  char* room;
  size_t used = 0;
  if (record.pathLength <= Output::kChunk - kNumbersText) {
    // The usual path: the whole line in one piece of the buffer.
    room = out->Room(record.pathLength + kNumbersText);
    memcpy(room, record.path, record.pathLength);
    used = record.pathLength;
  } else {
    out->Append(record.path, record.pathLength);
    room = out->Room(kNumbersText);
  }
  room[used++] = '\t';
  used += FormatTime(record.lastWrite, raw, room + used);
  room[used++] = '\t';
  used += FormatTime(record.creation, raw, room + used);
  room[used++] = '\t';
  used += FormatTime(record.lastAccess, raw, room + used);
  room[used++] = '\t';
  used += FormatUnsigned(record.size, room + used);
  room[used++] = '\n';
  out->Commit(used);
}

void WriteCsvTitles(Output* out) {
  PutText(out, "path,last_write,creation,last_access,size\r\n");
}

void WriteCsvRecord(Output* out, const DatabaseRecord& record, bool raw) {
  // RFC 4180 quotes a field that holds a quote, a comma or a line break.
  bool quoted = false;
  for (uint32_t i = 0; i < record.pathLength && !quoted; ++i) {
    char c = record.path[i];
    quoted = c == '"' || c == ',' || c == '\r' || c == '\n';
  }
  if (quoted) out->Put('"');
  PutEscaped(out, record.path, record.pathLength, false);
  if (quoted) out->Put('"');
  char* room = out->Room(4 * (kTimeTextSize + 1) + 1);
  size_t used = 0;
  const int32_t times[] = {record.lastWrite, record.creation,
                           record.lastAccess};
  for (int32_t time : times) {
    room[used++] = ',';
    used += FormatTime(time, raw, room + used);
  }
  room[used++] = ',';
  used += FormatUnsigned(record.size, room + used);
  room[used++] = '\r';
  room[used++] = '\n';
  out->Commit(used);
}

void WriteJsonHeader(Output* out, const DatabaseHeader& header, bool raw) {
  PutText(out, "{\"creator\":");
  PutJsonString(out, header.creator, strlen(header.creator));
  PutText(out, ",\"description\":");
  PutJsonString(out, header.description, strlen(header.description));
  PutText(out, ",\"drives\":");
  PutJsonString(out, header.driveLetters, strlen(header.driveLetters));
  PutText(out, ",\"time\":");
  char* room = out->Room(kTimeTextSize + 4);
  size_t used = 0;
  if (!raw) room[used++] = '"';
  used += FormatDatabaseTime(header.time, raw, room + used);
  if (!raw) room[used++] = '"';
  room[used++] = '}';
  room[used++] = '\n';
  out->Commit(used);
}

void WriteJsonRecord(Output* out, const DatabaseRecord& record, bool raw) {
  PutText(out, "{\"path\":");
  PutJsonString(out, record.path, record.pathLength);
  char* room = out->Room(128);
  size_t used = FormatJsonTime(",\"last_write\":", record.lastWrite, raw, room);
  used += FormatJsonTime(",\"creation\":", record.creation, raw, room + used);
  used +=
      FormatJsonTime(",\"last_access\":", record.lastAccess, raw, room + used);
  memcpy(room + used, ",\"size\":", 8);
  used += 8;
  used += FormatUnsigned(record.size, room + used);
  room[used++] = '}';
  room[used++] = '\n';
  out->Commit(used);
}

void WritePathWithNul(Output* out, const DatabaseRecord& record) {
  out->Append(record.path, record.pathLength);
  out->Put('\0');
}

void CountDriveLetters(SummaryCounts* counts, const char* driveLetters) {
  for (const char* c = driveLetters; *c != '\0'; ++c) {
    counts->walked[static_cast<uint8_t>(*c)] = true;
  }
}

void WriteSummaryCounts(Output* out, const SummaryCounts& counts) {
  char line[64];
  size_t used = 0;
  memcpy(line, "records: ", 9);
  used = 9 + FormatUnsigned(counts.records, line + 9);
  line[used++] = '\n';
  out->Append(line, used);
  memcpy(line, "total size: ", 12);
  used = 12 + FormatUnsigned(counts.totalSize, line + 12);
  line[used++] = '\n';
  out->Append(line, used);
  for (int c = 0; c < 256; ++c) {
    if (counts.perDrive[c] == 0 && !counts.walked[c]) continue;
    memcpy(line, "drive ?: ", 9);
    line[6] = static_cast<char>(c);
    used = 9 + FormatUnsigned(counts.perDrive[c], line + 9);
    line[used++] = '\n';
    out->Append(line, used);
  }
  if (counts.emptyPaths != 0) {
    memcpy(line, "empty paths: ", 13);
    used = 13 + FormatUnsigned(counts.emptyPaths, line + 13);
    line[used++] = '\n';
    out->Append(line, used);
  }
}
