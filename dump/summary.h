// --summary: the record count, the total of the sizes and the records per
// drive letter.
#pragma once

#include <cstdint>

#include "database/reader.h"
#include "dump/output.h"

struct SummaryCounts {
  uint64_t records = 0;
  uint64_t totalSize = 0;
  uint64_t emptyPaths = 0;
  // Records by the first byte of their path, the drive letter.
  uint64_t perDrive[256] = {};
  // The letters the header names, so that a drive without records shows.
  bool walked[256] = {};
};

void CountDriveLetters(SummaryCounts* counts, const char* driveLetters);
inline void CountRecord(SummaryCounts* counts, const DatabaseRecord& record) {
  ++counts->records;
  counts->totalSize += record.size;
  if (record.pathLength == 0) {
    ++counts->emptyPaths;
  } else {
    ++counts->perDrive[static_cast<uint8_t>(record.path[0])];
  }
}
void WriteSummaryCounts(Output* out, const SummaryCounts& counts);
// Adds `counts` to `total`.
void AddSummaryCounts(SummaryCounts* total, const SummaryCounts& counts);
