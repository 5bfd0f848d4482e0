// --diff's forms: a line a difference and a summary for people, JSON Lines,
// CSV, the summary alone, or nothing.
#pragma once

#include <cstdint>

#include "database/reader.h"
#include "dump/options.h"
#include "dump/output.h"
#include "dump/pairing.h"

struct DiffTotals {
  uint64_t added = 0;
  uint64_t addedSize = 0;
  uint64_t removed = 0;
  uint64_t removedSize = 0;
  uint64_t changed = 0;
  uint64_t changedOldSize = 0;
  uint64_t changedNewSize = 0;
  // The records of drives walked on one side only, by side and letter.
  uint64_t notCompared[2][256] = {};
  bool walkedOnly[2][256] = {};

  bool Different() const;
};

class DiffWriter : public DiffSink {
 public:
  // `names` are OLD's and NEW's, as given.
  DiffWriter(Output* out, const DumpOptions& options, const char* const* names)
      : out_(out), options_(options), names_(names) {}

  // Before the first difference, while the headers are valid.  False when
  // there is no memory for it.
  bool Begin(const DatabaseHeader& old, const DatabaseHeader& now);
  void Added(const DatabaseRecord& record) override;
  void Removed(const DatabaseRecord& record) override;
  void Changed(const DatabaseRecord& old, const DatabaseRecord& now) override;
  // After the last difference: the summary.
  void End();
  DiffTotals* Totals() { return &totals_; }

 private:
  // A record of one database only: added or removed.
  void WriteOneSide(DiffSide side, const DatabaseRecord& record);
  void WriteListSummary();
  void WriteJsonSummary();
  void WriteCsvRow(const char* change, const DatabaseRecord& path,
                   const DatabaseRecord* old, const DatabaseRecord* now);

  Output* out_;
  const DumpOptions& options_;
  const char* const* names_;
  DiffTotals totals_;
};
