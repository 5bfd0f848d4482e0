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

constexpr char kTemporarySuffix[] = ".tmp";

uint32_t WriteToPlatformFile(void* context, const void* bytes, uint32_t count) {
  uint32_t written = 0;
  platform::WriteToFile(static_cast<platform::FileHandle*>(context), bytes,
                        count, &written);
  return written;
}

}  // namespace

uint32_t WriteDatabaseTo(const WriteSink& sink, const char* driveLetters,
                         uint32_t databaseTime) {
  uint8_t time[format::kTimeSize];
  format::PutUint32(databaseTime, time);
  if (!WriteAll(sink, format::kSignature, format::kSignatureSize) ||
      !WriteAll(sink, gCreator.Text(), gCreator.Length() + 1) ||
      !WriteAll(sink, gDescription.Text(), gDescription.Length() + 1) ||
      !WriteAll(sink, driveLetters,
                static_cast<uint32_t>(strlen(driveLetters) + 1)) ||
      !WriteAll(sink, time, sizeof time) || !RecordStoreDrain(sink)) {
    return kResultCannotWrite;
  }
  return kResultWritten;
}

namespace {

// Writes the database into `target`, created afresh.  Returns a run result;
// on failure a temporary target is deleted again.
uint32_t WriteNewFile(const char* target, bool temporary,
                      const char* driveLetters, uint32_t databaseTime) {
  platform::FileHandle* file = platform::CreateFileForWriting(target);
  if (file == nullptr) return kResultCannotCreate;
  WriteSink sink = {WriteToPlatformFile, file};
  uint32_t result = WriteDatabaseTo(sink, driveLetters, databaseTime);
  // A close can report a write that never reached the disk.
  if (!platform::CloseFile(file) && result == kResultWritten) {
    result = kResultCannotWrite;
  }
  if (result != kResultWritten && temporary) platform::DeleteFileAt(target);
  return result;
}

}  // namespace

uint32_t WriteDatabase(const char* path, const char* driveLetters,
                       uint32_t databaseTime) {
  size_t length = strlen(path);
  if (length >= platform::kPathSize) return kResultCannotCreate;
  if (platform::IsSpecialFile(path)) {
    return WriteNewFile(path, false, driveLetters, databaseTime);
  }
  char temporary[platform::kPathSize + sizeof kTemporarySuffix];
  memcpy(temporary, path, length);
  memcpy(temporary + length, kTemporarySuffix, sizeof kTemporarySuffix);
  uint32_t result = WriteNewFile(temporary, true, driveLetters, databaseTime);
  if (result != kResultWritten) return result;
  if (!platform::MoveFileReplacing(temporary, path)) {
    platform::DeleteFileAt(temporary);
    return kResultCannotCreate;
  }
  return kResultWritten;
}
