#include "dump/numbers.h"

#include <cstring>

namespace {

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

}  // namespace

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

size_t FormatDatabaseTime(uint32_t time, bool raw, char* out) {
  if (raw) return FormatUnsigned(time, out);
  if (time == 0xFFFFFFFFu) return FormatSigned(-1, out);
  return FormatIso(time, out);
}

size_t FormatTime(int32_t time, bool raw, char* out) {
  if (raw || time == 0 || time == -1) return FormatSigned(time, out);
  return FormatIso(time, out);
}
