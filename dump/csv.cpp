#include "dump/csv.h"

#include <cstdint>

#include "dump/escape.h"
#include "dump/numbers.h"

void WriteCsvTitles(Output* out) {
  PutText(out, "path,last_write,creation,last_access,size\r\n");
}

void WriteCsvRecord(Output* out, const DatabaseRecord& record, bool raw) {
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
