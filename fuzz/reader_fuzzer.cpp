// Feeds arbitrary bytes to the database reader.  The first byte picks the
// buffer size and the second how many bytes each read returns, so that items
// straddle refills at every position.  Checks that a file that reads to the
// end was taken whole, byte for byte, and that a fault lies within the file.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "database/reader.h"

namespace {

struct Bytes {
  const uint8_t* data;
  size_t size;
  size_t at;
  size_t piece;
};

int64_t ReadBytes(void* context, void* bytes, uint32_t count) {
  auto* source = static_cast<Bytes*>(context);
  size_t n = source->size - source->at;
  if (n > count) n = count;
  if (n > source->piece) n = source->piece;
  memcpy(bytes, source->data + source->at, n);
  source->at += n;
  return static_cast<int64_t>(n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  uint32_t bufferSize = 32 + data[0] * 4;
  Bytes source = {data + 2, size - 2, 0, 1 + static_cast<size_t>(data[1])};
  DatabaseReader reader({ReadBytes, &source}, bufferSize);
  DatabaseHeader header;
  ReadStatus status = reader.ReadHeader(&header);
  uint64_t taken = 0;
  if (status == kReadItem) {
    taken = 9 + strlen(header.creator) + 1 + strlen(header.description) + 1 +
            strlen(header.driveLetters) + 1 + 4;
  }
  DatabaseRecord record;
  while (status == kReadItem) {
    status = reader.ReadRecord(&record);
    if (status != kReadItem) break;
    if (record.pathLength + 17 > bufferSize ||
        memchr(record.path, 0, record.pathLength) != nullptr ||
        record.path[record.pathLength] != '\0') {
      __builtin_trap();
    }
    taken += record.pathLength + 17;
  }
  if (status == kReadEnd && taken != source.size) __builtin_trap();
  if (status == kReadMalformed) {
    if (reader.Fault().offset > source.size) __builtin_trap();
    char text[256];
    DescribeReadFault(reader.Fault(), text, sizeof text);
  }
  if (status == kReadFailed || status == kReadNoMemory) __builtin_trap();
  return 0;
}
