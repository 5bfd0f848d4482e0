#include "database/reader.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "database/format.h"
#include "support/memory.h"

namespace {

constexpr uint32_t kRecordTail =
    1 + format::kRecordNumbersSize;  // NUL, numbers

int32_t GetInt32(const uint8_t* in) {
  return static_cast<int32_t>(format::GetUint32(in));
}

}  // namespace

DatabaseReader::DatabaseReader(ReadSource source, uint32_t bufferSize)
    : source_(source),
      buffer_(static_cast<uint8_t*>(memory::Allocate(bufferSize))),
      capacity_(bufferSize) {}

DatabaseReader::~DatabaseReader() { memory::Release(buffer_); }

bool DatabaseReader::Fill() {
  if (begin_ > 0) {
    memmove(buffer_, buffer_ + begin_, end_ - begin_);
    bufferOffset_ += begin_;
    end_ -= begin_;
    begin_ = 0;
  }
  while (!sourceEnded_ && end_ < capacity_) {
    int64_t got =
        source_.read(source_.context, buffer_ + end_, capacity_ - end_);
    if (got < 0) return false;
    if (got == 0) sourceEnded_ = true;
    end_ += static_cast<uint32_t>(got);
  }
  return true;
}

bool DatabaseReader::Ensure(uint32_t count) {
  if (end_ - begin_ >= count || sourceEnded_) return true;
  return Fill();
}

ReadStatus DatabaseReader::Malformed(uint64_t offset, ReadExpectation expected,
                                     uint64_t start, int found,
                                     uint32_t limit) {
  fault_ = {offset, expected, start, found, limit};
  return kReadMalformed;
}

ReadStatus DatabaseReader::FindNul(uint32_t from, uint32_t limit,
                                   ReadExpectation expected, uint32_t start,
                                   uint32_t* at) {
  // Offsets in the file stay put while Fill() moves the bytes.
  uint64_t base = bufferOffset_ + begin_;
  uint32_t searched = from;
  for (;;) {
    uint32_t available = end_ - begin_;
    uint32_t stop = available < limit ? available : limit;
    if (searched < stop) {
      const void* nul = memchr(buffer_ + begin_ + searched, 0, stop - searched);
      if (nul != nullptr) {
        *at = static_cast<uint32_t>(static_cast<const uint8_t*>(nul) -
                                    (buffer_ + begin_));
        return kReadItem;
      }
      searched = stop;
    }
    if (searched >= limit) {
      // The bytes the item may take up to its NUL: what the buffer holds
      // from its start, less the fixed fields that must follow it there.
      return Malformed(base + limit - 1, expected, base + start,
                       buffer_[begin_ + limit - 1], limit - start);
    }
    if (sourceEnded_) {
      return Malformed(base + available, expected, base + start, -1);
    }
    if (!Fill()) return kReadFailed;
  }
}

ReadStatus DatabaseReader::ReadHeader(DatabaseHeader* header) {
  if (buffer_ == nullptr) return kReadNoMemory;
  if (!Fill()) return kReadFailed;
  uint32_t available = end_ - begin_;
  for (uint32_t i = 0; i < format::kSignatureSize; ++i) {
    ReadExpectation expected =
        i == format::kMarkOffset ? kExpectFormatMark : kExpectSignature;
    if (i >= available) return Malformed(i, expected, 0, -1);
    if (buffer_[i] != static_cast<uint8_t>(format::kSignature[i])) {
      return Malformed(i, expected, 0, buffer_[i]);
    }
  }
  static const ReadExpectation kTextEnds[format::kHeaderTextCount] = {
      kExpectCreatorEnd, kExpectDescriptionEnd, kExpectDriveLettersEnd};
  uint32_t starts[format::kHeaderTextCount];
  uint32_t at = format::kSignatureSize;
  for (uint32_t i = 0; i < format::kHeaderTextCount; ++i) {
    starts[i] = at;
    uint32_t nul;
    ReadStatus status =
        FindNul(at, capacity_ - format::kTimeSize, kTextEnds[i], at, &nul);
    if (status != kReadItem) return status;
    at = nul + 1;
  }
  if (!Ensure(at + format::kTimeSize)) return kReadFailed;
  if (end_ - begin_ < at + format::kTimeSize) {
    return Malformed(end_, kExpectDatabaseTime, at, -1);
  }
  const char* bytes = reinterpret_cast<const char*>(buffer_);
  header->creator = bytes + starts[0];
  header->description = bytes + starts[1];
  header->driveLetters = bytes + starts[2];
  header->time = format::GetUint32(buffer_ + at);
  begin_ = at + format::kTimeSize;
  return kReadItem;
}

ReadStatus DatabaseReader::ReadRecord(DatabaseRecord* record) {
  if (buffer_ == nullptr) return kReadNoMemory;
  uint32_t available = end_ - begin_;
  const uint8_t* start = buffer_ + begin_;
  const void* nul = memchr(start, 0, available);
  uint32_t length = 0;
  if (nul != nullptr) {
    length = static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - start);
  }
  // Mostly the whole record is in the buffer; else read on, or find the fault.
  if (nul == nullptr || length + kRecordTail > available) {
    if (available == 0) {
      if (sourceEnded_) return kReadEnd;
      if (!Fill()) return kReadFailed;
      if (end_ == begin_) return kReadEnd;
    }
    ReadStatus status = FindNul(0, capacity_ - format::kRecordNumbersSize,
                                kExpectPathEnd, 0, &length);
    if (status != kReadItem) return status;
    if (!Ensure(length + kRecordTail)) return kReadFailed;
    if (end_ - begin_ < length + kRecordTail) {
      return Malformed(bufferOffset_ + end_, kExpectRecordNumbers,
                       bufferOffset_ + begin_, -1);
    }
    start = buffer_ + begin_;
  }
  const uint8_t* numbers = start + length + 1;
  record->path = reinterpret_cast<const char*>(start);
  record->pathLength = length;
  record->lastWrite = GetInt32(numbers);
  record->creation = GetInt32(numbers + 4);
  record->lastAccess = GetInt32(numbers + 8);
  record->size = format::GetUint32(numbers + 12);
  begin_ += length + kRecordTail;
  return kReadItem;
}

void DescribeReadFault(const ReadFault& fault, char* text, size_t size) {
  static const char* const kItems[] = {
      "the signature VANTOREX",
      "the format mark 0x04",
      "the NUL ending the creator text",
      "the NUL ending the description text",
      "the NUL ending the drive letters",
      "the 4-byte database time",
      "the NUL ending the path of the record",
      "the times and size (16 bytes) of the record",
  };
  char found[32];
  if (fault.found < 0) {
    snprintf(found, sizeof found, "the end of the file");
  } else {
    snprintf(found, sizeof found, "byte 0x%02X",
             static_cast<unsigned>(fault.found));
  }
  char start[48] = "";
  if (fault.expected != kExpectSignature &&
      fault.expected != kExpectFormatMark) {
    snprintf(start, sizeof start, " that starts at offset %" PRIu64,
             fault.start);
  }
  char limit[64] = "";
  if (fault.limit != 0) {
    snprintf(limit, sizeof limit, " within %" PRIu32 " bytes", fault.limit);
  }
  snprintf(text, size, "offset %" PRIu64 ": expected %s%s%s, found %s",
           fault.offset, kItems[fault.expected], start, limit, found);
}
