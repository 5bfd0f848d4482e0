#include "dump/listing.h"

#include <cstdint>
#include <cstring>

#include "dump/escape.h"
#include "dump/numbers.h"

void WriteHeaderLines(Output* out, const DatabaseHeader& header, bool raw,
                      const char* database) {
  if (database != nullptr) {
    PutText(out, "database: ");
    PutText(out, database);
    out->Put('\n');
  }
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

void MakeListLabel(Output* label, const char* database) {
  PutText(label, database);
  label->Put('\t');
}

void WriteListRecord(Output* out, const DatabaseRecord& record,
                     const FormStyle& style) {
  bool raw = style.raw;
  if (style.labelLength != 0) out->Append(style.label, style.labelLength);
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

void WritePathWithNul(Output* out, const DatabaseRecord& record) {
  out->Append(record.path, record.pathLength);
  out->Put('\0');
}
