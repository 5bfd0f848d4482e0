#include "database/reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using namespace std::string_literals;

// Hands out `data` in pieces of at most `piece` bytes; the read numbered
// `failAt` (from 1) fails.
struct PieceSource {
  std::string data;
  size_t piece;
  int failAt = 0;
  size_t at = 0;
  int reads = 0;

  ReadSource Source() { return {Read, this}; }

 private:
  static int64_t Read(void* context, void* bytes, uint32_t count) {
    auto* self = static_cast<PieceSource*>(context);
    if (++self->reads == self->failAt) return -1;
    size_t n =
        std::min<size_t>({count, self->piece, self->data.size() - self->at});
    memcpy(bytes, self->data.data() + self->at, n);
    self->at += n;
    return static_cast<int64_t>(n);
  }
};

std::string Record(const std::string& path, uint32_t write, uint32_t size) {
  std::string bytes = path + '\0';
  const uint32_t numbers[] = {write, 0, 0xFFFFFFFF, size};
  for (uint32_t n : numbers) {
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>(n >> (8 * i));
  }
  return bytes;
}

const std::string kHeader = "VANTOREX\x04me\0all\0CD\0\x01\x02\x03\x04"s;

// Everything a reader gives for `source`: the header's texts, a line per
// record, and how it ended.
std::string ReadAll(PieceSource* source, uint32_t bufferSize) {
  DatabaseReader reader(source->Source(), bufferSize);
  DatabaseHeader header;
  ReadStatus status = reader.ReadHeader(&header);
  std::string seen;
  if (status == kReadItem) {
    seen = std::string(header.creator) + "|" + header.description + "|" +
           header.driveLetters + "|" + std::to_string(header.time) + "\n";
  }
  DatabaseRecord record;
  while (status == kReadItem) {
    status = reader.ReadRecord(&record);
    if (status != kReadItem) break;
    seen += std::string(record.path, record.pathLength) + " " +
            std::to_string(record.lastWrite) + " " +
            std::to_string(record.creation) + " " +
            std::to_string(record.lastAccess) + " " +
            std::to_string(record.size) + "\n";
  }
  if (status == kReadMalformed) {
    char text[200];
    DescribeReadFault(reader.Fault(), text, sizeof text);
    seen += text;
  } else {
    seen += "status " + std::to_string(status);
  }
  return seen;
}

}  // namespace

// Records and header straddle every refill of buffers down to the longest
// record (40 bytes), and the source
// gives as little as a byte at a time.
TEST(DatabaseReader, SameResultForAnyBufferAndPieceSize) {
  std::string data = kHeader + Record("C:\\a.txt", 7, 5) +
                     Record("C:\\Docs\\longer name.txt", 0x80000000, 1) +
                     Record("", 1, 2) + Record("D:\\x", 3, 4);
  const std::string expected =
      "me|all|CD|67305985\n"
      "C:\\a.txt 7 0 -1 5\n"
      "C:\\Docs\\longer name.txt -2147483648 0 -1 1\n"
      " 1 0 -1 2\n"
      "D:\\x 3 0 -1 4\n"
      "status 1";
  struct Cut {
    size_t length;
    const char* ending;
  };
  // Each cut ends the same way at every buffer size.  The records start at
  // offsets 23, 48, 88 and 105; the file ends at 126.
  const Cut cuts[] = {
      {data.size(), "status 1"},
      {data.size() - 1,
       "offset 125: expected the times and size (16 bytes) of the record "
       "that starts at offset 105, found the end of the file"},
      {107,
       "offset 107: expected the NUL ending the path of the record that "
       "starts at offset 105, found the end of the file"},
      {97,
       "offset 97: expected the times and size (16 bytes) of the record "
       "that starts at offset 88, found the end of the file"},
      {20,
       "offset 20: expected the 4-byte database time that starts at offset "
       "19, found the end of the file"},
  };
  for (uint32_t bufferSize : {40u, 41u, 47u, 53u, 64u, 1u << 20}) {
    for (size_t piece : {size_t{1}, size_t{3}, size_t{17}, size_t{1} << 20}) {
      PieceSource whole{data, piece};
      EXPECT_EQ(expected, ReadAll(&whole, bufferSize))
          << bufferSize << " " << piece;
      for (const Cut& cut : cuts) {
        PieceSource source{data.substr(0, cut.length), piece};
        std::string seen = ReadAll(&source, bufferSize);
        EXPECT_EQ(cut.ending, seen.substr(seen.size() - strlen(cut.ending)))
            << bufferSize << " " << piece << " " << cut.length;
      }
    }
  }
}

TEST(DatabaseReader, HeaderOrRecordLongerThanTheBuffer) {
  PieceSource longRecord{kHeader + Record(std::string(40, 'p'), 1, 1), 1000};
  EXPECT_EQ(
      "me|all|CD|67305985\n"
      "offset 38: expected the NUL ending the path of the record that starts "
      "at offset 23 within 16 bytes, found byte 0x70",
      ReadAll(&longRecord, 32));
  PieceSource longHeader{"VANTOREX\x04" + std::string(40, 'c') + '\0', 1000};
  EXPECT_EQ(
      "offset 27: expected the NUL ending the creator text that starts at "
      "offset 9 within 19 bytes, found byte 0x63",
      ReadAll(&longHeader, 32));
}

TEST(DatabaseReader, FailedReadAndNoMemory) {
  std::string data = kHeader + Record("C:\\a", 1, 1) + Record("C:\\b", 2, 2);
  // The first read fills the header and the first record; the second is cut
  // off by the buffer and its refill fails.
  PieceSource failing{data, 1000, 2};
  EXPECT_EQ("me|all|CD|67305985\nC:\\a 1 0 -1 1\nstatus 3",
            ReadAll(&failing, 48));
  PieceSource failingFirst{data, 1000, 1};
  EXPECT_EQ("status 3", ReadAll(&failingFirst, 48));
  FailingAllocation noMemory(1);
  PieceSource source{data, 1000};
  EXPECT_EQ("status 4", ReadAll(&source, 48));
}
