#include "dump/summary.h"

#include <cstdint>
#include <cstring>

#include "dump/numbers.h"

void CountDriveLetters(SummaryCounts* counts, const char* driveLetters) {
  for (const char* c = driveLetters; *c != '\0'; ++c) {
    counts->walked[static_cast<uint8_t>(*c)] = true;
  }
}

void WriteSummaryCounts(Output* out, const SummaryCounts& counts) {
  char line[64];
  size_t used = 0;
  memcpy(line, "records: ", 9);
  used = 9 + FormatUnsigned(counts.records, line + 9);
  line[used++] = '\n';
  out->Append(line, used);
  memcpy(line, "total size: ", 12);
  used = 12 + FormatUnsigned(counts.totalSize, line + 12);
  line[used++] = '\n';
  out->Append(line, used);
  for (int c = 0; c < 256; ++c) {
    if (counts.perDrive[c] == 0 && !counts.walked[c]) continue;
    memcpy(line, "drive ?: ", 9);
    line[6] = static_cast<char>(c);
    used = 9 + FormatUnsigned(counts.perDrive[c], line + 9);
    line[used++] = '\n';
    out->Append(line, used);
  }
  if (counts.emptyPaths != 0) {
    memcpy(line, "empty paths: ", 13);
    used = 13 + FormatUnsigned(counts.emptyPaths, line + 13);
    line[used++] = '\n';
    out->Append(line, used);
  }
}

void AddSummaryCounts(SummaryCounts* total, const SummaryCounts& counts) {
  total->records += counts.records;
  total->totalSize += counts.totalSize;
  total->emptyPaths += counts.emptyPaths;
  for (int c = 0; c < 256; ++c) {
    total->perDrive[c] += counts.perDrive[c];
    total->walked[c] = total->walked[c] || counts.walked[c];
  }
}
