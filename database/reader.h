// Reads a database file front to back through one fixed buffer, checking the
// layout of database/format.h as it goes, so that a file of any size reads
// in the same memory.
#pragma once

#include <cstddef>
#include <cstdint>

// Where the database's bytes come from: a file, or a test's bytes.
struct ReadSource {
  // Reads up to `count` bytes into `bytes`.  Returns how many, 0 at the end
  // of the data, or -1 when the read failed.
  int64_t (*read)(void* context, void* bytes, uint32_t count);
  void* context;
};

// The header's texts point into the reader's buffer and stay valid until
// the first record is read.
struct DatabaseHeader {
  const char* creator;
  const char* description;
  const char* driveLetters;
  uint32_t time;
};

// A record's path points into the reader's buffer and stays valid until the
// next record is read.
struct DatabaseRecord {
  const char* path;
  uint32_t pathLength;
  int32_t lastWrite;
  int32_t creation;
  int32_t lastAccess;
  uint32_t size;
};

enum ReadExpectation : uint32_t {
  kExpectSignature,
  kExpectFormatMark,
  kExpectCreatorEnd,
  kExpectDescriptionEnd,
  kExpectDriveLettersEnd,
  kExpectDatabaseTime,
  kExpectPathEnd,
  kExpectRecordNumbers,
};

// Why a file is not a well-formed database: at byte `offset`, the item
// `expected` (which starts at `start`) was due, and `found` came instead: a
// byte, or -1 for the end of the file.  A nonzero `limit` says that the item
// ran past the most the reader takes at once: `limit` bytes from `start`,
// its NUL included, as the fixed fields after it must fit the buffer too.
struct ReadFault {
  uint64_t offset;
  ReadExpectation expected;
  uint64_t start;
  int found;
  uint32_t limit;
};

enum ReadStatus : uint32_t {
  kReadItem = 0,       // the header or a record was read
  kReadEnd = 1,        // no more records: the file ended after a whole one
  kReadMalformed = 2,  // see Fault()
  kReadFailed = 3,     // the source reported a failed read
  kReadNoMemory = 4,   // the buffer could not be allocated
};

// The buffer every reader of the program uses.  A header or a record longer
// than the buffer is refused as malformed: its NUL must come within it.
constexpr uint32_t kReaderBufferSize = 1 << 20;

class DatabaseReader {
 public:
  // `bufferSize` must be at least 32 bytes.
  explicit DatabaseReader(ReadSource source,
                          uint32_t bufferSize = kReaderBufferSize);
  ~DatabaseReader();
  DatabaseReader(const DatabaseReader&) = delete;
  DatabaseReader& operator=(const DatabaseReader&) = delete;

  // Reads the header; call once, first.
  ReadStatus ReadHeader(DatabaseHeader* header);
  // Reads the next record; kReadEnd when the file ended after a whole one.
  ReadStatus ReadRecord(DatabaseRecord* record);
  // The fault of the last kReadMalformed.
  const ReadFault& Fault() const { return fault_; }

 private:
  // Moves the unread bytes to the front and reads until the buffer is full
  // or the source ends.  False when the read failed.
  bool Fill();
  // Makes at least `count` unread bytes available if the file has them.
  // False when the read failed.
  bool Ensure(uint32_t count);
  // Finds the NUL at or after unread byte `from` and before unread byte
  // `limit`, reading on as needed.  Returns kReadItem with *at set, or the
  // status of the fault, an item that starts at unread byte `start`.
  ReadStatus FindNul(uint32_t from, uint32_t limit, ReadExpectation expected,
                     uint32_t start, uint32_t* at);
  ReadStatus Malformed(uint64_t offset, ReadExpectation expected,
                       uint64_t start, int found, uint32_t limit = 0);

  ReadSource source_;
  uint8_t* buffer_;
  uint32_t capacity_;
  // The unread bytes are buffer_[begin_, end_); buffer_[0] is byte
  // `bufferOffset_` of the file.
  uint32_t begin_ = 0;
  uint32_t end_ = 0;
  uint64_t bufferOffset_ = 0;
  bool sourceEnded_ = false;
  ReadFault fault_ = {};
};

// Writes "offset N: expected X, found Y" for `fault` into `text` (of `size`
// bytes, cut to fit).
void DescribeReadFault(const ReadFault& fault, char* text, size_t size);
