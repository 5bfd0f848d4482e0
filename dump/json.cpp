#include "dump/json.h"

#include <cstdint>
#include <cstring>

#include "dump/escape.h"
#include "dump/numbers.h"

namespace {

// `"name":` and a time, quoted unless raw.
size_t FormatJsonTime(const char* name, int32_t time, bool raw, char* out) {
  size_t used = strlen(name);
  memcpy(out, name, used);
  if (!raw) out[used++] = '"';
  used += FormatTime(time, raw, out + used);
  if (!raw) out[used++] = '"';
  return used;
}

// The times and size after `lead` (its key for the last-write time), then
// the closing brace: at most 128 bytes.
size_t FormatJsonNumbers(const char* lead, const DatabaseRecord& record,
                         bool raw, char* out) {
  size_t used = FormatJsonTime(lead, record.lastWrite, raw, out);
  used += FormatJsonTime(",\"creation\":", record.creation, raw, out + used);
  used +=
      FormatJsonTime(",\"last_access\":", record.lastAccess, raw, out + used);
  memcpy(out + used, ",\"size\":", 8);
  used += 8;
  used += FormatUnsigned(record.size, out + used);
  out[used++] = '}';
  return used;
}

}  // namespace

void MakeJsonLabel(Output* label, const char* database) {
  PutText(label, "\"database\":");
  PutJsonString(label, database, strlen(database));
  label->Put(',');
}

void WriteJsonHeader(Output* out, const DatabaseHeader& header,
                     const FormStyle& style) {
  bool raw = style.raw;
  out->Put('{');
  if (style.labelLength != 0) out->Append(style.label, style.labelLength);
  PutText(out, "\"creator\":");
  PutJsonString(out, header.creator, strlen(header.creator));
  PutText(out, ",\"description\":");
  PutJsonString(out, header.description, strlen(header.description));
  PutText(out, ",\"drives\":");
  PutJsonString(out, header.driveLetters, strlen(header.driveLetters));
  PutText(out, ",\"time\":");
  char* room = out->Room(kTimeTextSize + 4);
  size_t used = 0;
  if (!raw) room[used++] = '"';
  used += FormatDatabaseTime(header.time, raw, room + used);
  if (!raw) room[used++] = '"';
  room[used++] = '}';
  room[used++] = '\n';
  out->Commit(used);
}

void WriteJsonRecord(Output* out, const DatabaseRecord& record,
                     const FormStyle& style) {
  bool raw = style.raw;
  out->Put('{');
  if (style.labelLength != 0) out->Append(style.label, style.labelLength);
  PutText(out, "\"path\":");
  PutJsonString(out, record.path, record.pathLength);
  char* room = out->Room(128);
  size_t used = FormatJsonNumbers(",\"last_write\":", record, raw, room);
  room[used++] = '\n';
  out->Commit(used);
}

void WriteJsonNumbers(Output* out, const DatabaseRecord& record, bool raw) {
  out->Commit(
      FormatJsonNumbers("{\"last_write\":", record, raw, out->Room(128)));
}
