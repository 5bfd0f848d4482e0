#include "dump/csv.h"

#include <cstdint>
#include <cstring>

#include "dump/escape.h"
#include "dump/numbers.h"

void WriteCsvTitles(Output* out, bool labelled) {
  if (labelled) PutText(out, "database,");
  PutText(out, "path,last_write,creation,last_access,size\r\n");
}

void MakeCsvLabel(Output* label, const char* database) {
  PutCsvField(label, database, strlen(database));
  label->Put(',');
}

void WriteCsvRecord(Output* out, const DatabaseRecord& record,
                    const FormStyle& style) {
  bool raw = style.raw;
  if (style.labelLength != 0) out->Append(style.label, style.labelLength);
  PutCsvField(out, record.path, record.pathLength);
  char* room = out->Room(4 * (kTimeTextSize + 1) + 1);
  size_t used = 0;
  const int32_t times[] = {record.lastWrite, record.creation,
                           record.lastAccess};
  for (int32_t time : times) {
    room[used++] = ',';
    used += FormatTime(time, raw, room + used);
  }
  room[used++] = ',';
  used += FormatUnsigned(record.size, room + used);
  room[used++] = '\r';
  room[used++] = '\n';
  out->Commit(used);
}
