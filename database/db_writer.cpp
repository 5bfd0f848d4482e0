#include "database/db_writer.h"

#include <cstring>

#include "database/record.h"
#include "database/record_store.h"
#include "database/walk.h"
#include "platform/platform.h"

// Defined in this order so that the description is destroyed first.
DynString gCreator;
DynString gDescription;

namespace {

constexpr char kSignature[] = "VANTOREX\x04";  // signature and format mark
constexpr uint32_t kSignatureSize = 9;
constexpr char kTemporarySuffix[] = ".tmp";

bool WriteAll(const WriteSink& sink, const void* bytes, uint32_t count) {
  return sink.write(sink.context, bytes, count) == count;
}

uint32_t WriteToPlatformFile(void* context, const void* bytes,
                             uint32_t count) {
  uint32_t written = 0;
  platform::WriteToFile(static_cast<platform::FileHandle*>(context), bytes,
                        count, &written);
  return written;
}

uint32_t WriteHeaderAndBlocks(const WriteSink& sink, const char* driveLetters,
                              uint32_t databaseTime) {
  uint8_t time[4];
  record::PutUint32(databaseTime, time);
  if (!WriteAll(sink, kSignature, kSignatureSize) ||
      !WriteAll(sink, gCreator.Text(), gCreator.Length() + 1) ||
      !WriteAll(sink, gDescription.Text(), gDescription.Length() + 1) ||
      !WriteAll(sink, driveLetters,
                static_cast<uint32_t>(strlen(driveLetters) + 1)) ||
      !WriteAll(sink, time, sizeof time)) {
    return 2;
  }
  while (gStore.head != nullptr) {
    if (!WriteAll(sink, gStore.head->block, gStore.head->used)) return 2;
    // Released at once, so the run's memory shrinks as the file grows.
    RecordStoreReleaseHead();
  }
  if (gStore.current != nullptr &&
      !WriteAll(sink, gStore.current, gStore.fill)) {
    return 2;
  }
  return 0;
}

// Writes the database into `target`, created afresh.  Returns 0, 1 or 2; on
// failure a temporary target is deleted again.
uint32_t WriteNewFile(const char* target, bool temporary,
                   const char* driveLetters, uint32_t databaseTime) {
  platform::FileHandle* file = platform::CreateFileForWriting(target);
  if (file == nullptr) return 1;
  WriteSink sink = {WriteToPlatformFile, file};
  uint32_t result = WriteHeaderAndBlocks(sink, driveLetters, databaseTime);
  // A close can report a write that never reached the disk.
  if (!platform::CloseFile(file) && result == 0) result = 2;
  if (result != 0 && temporary) platform::DeleteFileAt(target);
  return result;
}

}  // namespace

uint32_t WriteDatabaseTo(const WriteSink& sink, const char* driveLetters,
                         uint32_t databaseTime) {
  uint32_t result = WriteHeaderAndBlocks(sink, driveLetters, databaseTime);
  RecordStoreRelease();
  return result;
}

uint32_t WriteDatabase(const char* path, const char* driveLetters,
                       uint32_t databaseTime) {
  RecordStoreOwner store;
  size_t length = strlen(path);
  if (length >= kPathSize) return 1;
  if (platform::IsSpecialFile(path)) {
    return WriteNewFile(path, false, driveLetters, databaseTime);
  }
  char temporary[kPathSize + sizeof kTemporarySuffix];
  memcpy(temporary, path, length);
  memcpy(temporary + length, kTemporarySuffix, sizeof kTemporarySuffix);
  uint32_t result = WriteNewFile(temporary, true, driveLetters, databaseTime);
  if (result != 0) return result;
  if (!platform::MoveFileReplacing(temporary, path)) {
    platform::DeleteFileAt(temporary);
    return 1;
  }
  return 0;
}
