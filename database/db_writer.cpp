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

// Writes the database into `file`, flushed to the disk when `flush` is set,
// and closes it.  Returns a run result.
uint32_t WriteAndClose(platform::FileHandle* file, bool flush,
                       const char* driveLetters, uint32_t databaseTime) {
  WriteSink sink = {WriteToPlatformFile, file};
  uint32_t result = WriteDatabaseTo(sink, driveLetters, databaseTime);
  if (result == kResultWritten && flush && !platform::FlushFile(file)) {
    result = kResultCannotWrite;
  }
  // A close can report a write that never reached the disk.
  if (!platform::CloseFile(file) && result == kResultWritten) {
    result = kResultCannotWrite;
  }
  return result;
}

}  // namespace

uint32_t WriteDatabase(const char* path, const char* driveLetters,
                       uint32_t databaseTime) {
  if (strlen(path) >= platform::kPathSize) return kResultCannotCreate;
  if (platform::IsSpecialFile(path)) {
    platform::FileHandle* file = platform::CreateFileForWriting(path);
    if (file == nullptr) return kResultCannotCreate;
    return WriteAndClose(file, false, driveLetters, databaseTime);
  }
  // Every run writes a file of its own, which replaces the path only once it
  // is whole and on the disk: whatever other runs do at the same time, the
  // path holds one run's whole database.
  platform::FileHandle* file = platform::CreateReplacement(path);
  if (file == nullptr) return kResultCannotCreate;
  uint32_t result = WriteAndClose(file, true, driveLetters, databaseTime);
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
