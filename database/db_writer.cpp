#include "database/db_writer.h"

#include <cstring>

#include "database/format.h"
#include "database/record_store.h"
#include "database/result.h"
#include "platform/platform.h"

// Defined in this order so that the description is destroyed first.
DynString gCreator;
DynString gDescription;

namespace {

uint32_t WriteToPlatformFile(void* context, const void* bytes, uint32_t count) {
  uint32_t written = 0;
  platform::WriteToFile(static_cast<platform::FileHandle*>(context), bytes,
                        count, &written);
  return written;
}

// Bytes the header takes with `driveLetters` in it.
uint64_t HeaderSize(const char* driveLetters) {
  return format::kSignatureSize + gCreator.Length() + 1 +
         gDescription.Length() + 1 + strlen(driveLetters) + 1 +
         format::kTimeSize;
}

bool WriteHeader(const WriteSink& sink, const char* driveLetters,
                 uint32_t databaseTime) {
  uint8_t time[format::kTimeSize];
  format::PutUint32(databaseTime, time);
  return WriteAll(sink, format::kSignature, format::kSignatureSize) &&
         WriteAll(sink, gCreator.Text(), gCreator.Length() + 1) &&
         WriteAll(sink, gDescription.Text(), gDescription.Length() + 1) &&
         WriteAll(sink, driveLetters,
                  static_cast<uint32_t>(strlen(driveLetters) + 1)) &&
         WriteAll(sink, time, sizeof time);
}

}  // namespace

uint32_t WriteDatabaseTo(const WriteSink& sink, const char* driveLetters,
                         uint32_t databaseTime) {
  if (!WriteHeader(sink, driveLetters, databaseTime) ||
      !RecordStoreDrain(sink)) {
    return kResultCannotWrite;
  }
  return kResultWritten;
}

namespace {

// Flushes `file` to the disk when `flush` is set, and closes it.  Returns
// `result`, or kResultCannotWrite when either step reports a failure.
uint32_t FlushAndClose(platform::FileHandle* file, bool flush,
                       uint32_t result) {
  if (result == kResultWritten && flush && !platform::FlushFile(file)) {
    result = kResultCannotWrite;
  }
  // A close can report a write that never reached the disk.
  if (!platform::CloseFile(file) && result == kResultWritten) {
    result = kResultCannotWrite;
  }
  return result;
}

// Moves a replacement into place once it is written; gives it up otherwise.
uint32_t Commit(uint32_t result) {
  if (result != kResultWritten) {
    platform::AbandonReplacement();
    return result;
  }
  if (!platform::CommitReplacement()) {
    platform::AbandonReplacement();
    return kResultCannotCreate;
  }
  return kResultWritten;
}

// The spill of the run under way.
struct Spill {
  const char* path = nullptr;  // the database's, while blocks may spill
  char expected[64] = "";      // the letters of the provisional header
  platform::FileHandle* file = nullptr;
  // A device's, pipe's or descriptor's own handle, opened before the scratch
  // file: a descriptor that -D names and that is not open must not become
  // the scratch file's number.
  platform::FileHandle* target = nullptr;
  bool scratch = false;     // the file is a scratch file, not the database
  bool failed = false;      // nothing more goes to the file
  uint64_t headerSize = 0;  // the provisional header, when written whole
  uint64_t records = 0;     // record bytes after it, whole blocks only
};
Spill gSpill;

// Creates the spill's file.  False when it holds no header to follow.
bool OpenSpill() {
  if (strlen(gSpill.path) >= platform::kPathSize) return false;
  if (platform::IsSpecialFile(gSpill.path)) {
    gSpill.target = platform::CreateFileForWriting(gSpill.path);
    if (gSpill.target == nullptr) return false;
    gSpill.file = platform::CreateScratchFile();
    gSpill.scratch = true;
  } else {
    gSpill.file = platform::CreateReplacement(gSpill.path);
  }
  if (gSpill.file == nullptr) return false;
  // The spill's files stay open until the run ends.  Had they taken the
  // last files the process may open, the walk of a drive still to come
  // would fail for want of one and the drive be left out: the spill gives
  // them back instead, and the records wait in memory as though no spill
  // had begun.
  if (!platform::CanOpenAnotherFile()) {
    SpillAbandon();
    return false;
  }
  if (gSpill.scratch) return true;
  WriteSink sink = {WriteToPlatformFile, gSpill.file};
  if (!WriteHeader(sink, gSpill.expected, 0)) return false;
  gSpill.headerSize = HeaderSize(gSpill.expected);
  return true;
}

uint32_t SpillBlock(void*, const void* bytes, uint32_t count) {
  if (gSpill.failed || (gSpill.file == nullptr && !OpenSpill())) {
    gSpill.failed = true;
    return 0;
  }
  uint32_t written = 0;
  if (!platform::WriteToFile(gSpill.file, bytes, count, &written)) {
    gSpill.failed = true;
    return 0;
  }
  gSpill.records += count;
  return count;
}

const WriteSink kSpillSink = {SpillBlock, nullptr};

// Writes at an offset that follows the bytes: the header, written over the
// provisional one.
struct Placed {
  platform::FileHandle* file;
  uint64_t offset;
};

uint32_t WriteToPlace(void* context, const void* bytes, uint32_t count) {
  auto* place = static_cast<Placed*>(context);
  uint32_t written = 0;
  platform::WriteFileAt(place->file, place->offset, bytes, count, &written);
  place->offset += written;
  return written;
}

// Counts what passes on to the file.
struct Counted {
  platform::FileHandle* file;
  uint64_t bytes;
};

uint32_t WriteCounted(void* context, const void* bytes, uint32_t count) {
  auto* counted = static_cast<Counted*>(context);
  uint32_t written = WriteToPlatformFile(counted->file, bytes, count);
  counted->bytes += written;
  return written;
}

// Copies in pieces of its own, as memory may have run out when it is
// needed; static, so that it costs nothing in a run that never copies.
uint8_t gCopyBuffer[1 << 16];

// Copies `count` bytes of the spill's file from `from` to `sink`.
bool CopySpilled(uint64_t from, uint64_t count, const WriteSink& sink) {
  for (uint64_t done = 0; done < count;) {
    uint64_t left = count - done;
    uint32_t piece = left < sizeof gCopyBuffer ? static_cast<uint32_t>(left)
                                               : sizeof gCopyBuffer;
    uint32_t read = 0;
    if (!platform::ReadFileAt(gSpill.file, from + done, gCopyBuffer, piece,
                              &read) ||
        !WriteAll(sink, gCopyBuffer, piece)) {
      return false;
    }
    done += piece;
  }
  return true;
}

// The database written in place, the spilled records copied from the
// scratch file.
uint32_t FinishInPlace(const char* driveLetters, uint32_t databaseTime) {
  platform::FileHandle* file = gSpill.target;
  gSpill.target = nullptr;
  WriteSink sink = {WriteToPlatformFile, file};
  bool written = WriteHeader(sink, driveLetters, databaseTime) &&
                 CopySpilled(0, gSpill.records, sink) && RecordStoreDrain(sink);
  return FlushAndClose(file, false,
                       written ? kResultWritten : kResultCannotWrite);
}

// The rest of the database written into the spill's file.  In the common
// run the header names the drives it expected: the blocks left follow the
// spilled ones and the time goes into its place.  When a walk that it
// names ended early or a drive was left out, the header is shorter: the
// spilled records move to its new end, once, and the file is cut to size.
bool FinishReplacement(const char* driveLetters, uint32_t databaseTime) {
  platform::FileHandle* file = gSpill.file;
  uint64_t size = HeaderSize(driveLetters);
  if (gSpill.headerSize != 0 && strcmp(driveLetters, gSpill.expected) == 0) {
    uint8_t time[format::kTimeSize];
    format::PutUint32(databaseTime, time);
    uint32_t written = 0;
    WriteSink sink = {WriteToPlatformFile, file};
    return (!gSpill.failed ||
            platform::SetFilePosition(file, size + gSpill.records)) &&
           RecordStoreDrain(sink) &&
           platform::WriteFileAt(file, size - format::kTimeSize, time,
                                 sizeof time, &written);
  }
  Placed moved = {file, size};
  WriteSink movedSink = {WriteToPlace, &moved};
  Placed header = {file, 0};
  WriteSink headerSink = {WriteToPlace, &header};
  Counted rest = {file, 0};
  WriteSink restSink = {WriteCounted, &rest};
  return CopySpilled(gSpill.headerSize, gSpill.records, movedSink) &&
         WriteHeader(headerSink, driveLetters, databaseTime) &&
         platform::SetFilePosition(file, size + gSpill.records) &&
         RecordStoreDrain(restSink) &&
         platform::SetFileSize(file, size + gSpill.records + rest.bytes);
}

uint32_t FinishSpill(const char* driveLetters, uint32_t databaseTime) {
  uint32_t result;
  if (gSpill.scratch) {
    result = FinishInPlace(driveLetters, databaseTime);
    platform::CloseFile(gSpill.file);
  } else {
    bool written = FinishReplacement(driveLetters, databaseTime);
    result = Commit(FlushAndClose(
        gSpill.file, true, written ? kResultWritten : kResultCannotWrite));
  }
  gSpill = Spill();
  RecordStoreSpillTo(nullptr);
  return result;
}

}  // namespace

uint32_t WriteDatabase(const char* path, const char* driveLetters,
                       uint32_t databaseTime) {
  if (gSpill.file != nullptr) return FinishSpill(driveLetters, databaseTime);
  SpillAbandon();
  if (strlen(path) >= platform::kPathSize) return kResultCannotCreate;
  // Every run writes a file of its own, which replaces the path only once it
  // is whole and on the disk: whatever other runs do at the same time, the
  // path holds one run's whole database.
  bool special = platform::IsSpecialFile(path);
  platform::FileHandle* file = special ? platform::CreateFileForWriting(path)
                                       : platform::CreateReplacement(path);
  if (file == nullptr) return kResultCannotCreate;
  WriteSink sink = {WriteToPlatformFile, file};
  uint32_t result = FlushAndClose(
      file, !special, WriteDatabaseTo(sink, driveLetters, databaseTime));
  return special ? result : Commit(result);
}

void SpillStart(const char* path) {
  SpillAbandon();
  gSpill.path = path;
  RecordStoreSpillTo(&kSpillSink);
}

void SpillExpect(const char* driveLetters) {
  // The header in the file stays as it was written.
  if (gSpill.file != nullptr) return;
  size_t length = strlen(driveLetters);
  if (length >= sizeof gSpill.expected) length = sizeof gSpill.expected - 1;
  memcpy(gSpill.expected, driveLetters, length);
  gSpill.expected[length] = '\0';
}

void SpillAbandon() {
  if (gSpill.target != nullptr) platform::CloseFile(gSpill.target);
  if (gSpill.file != nullptr) {
    platform::CloseFile(gSpill.file);
    if (!gSpill.scratch) platform::AbandonReplacement();
  }
  gSpill = Spill();
  RecordStoreSpillTo(nullptr);
}
