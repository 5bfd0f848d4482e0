#include "dump/diff.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "database/reader.h"
#include "dump/diff_forms.h"
#include "dump/input.h"
#include "dump/pairing.h"

namespace {

// One side of the comparison: its file, its reader, and which of its
// drives the other side did not walk.
class DiffInput {
 public:
  DiffInput(const char* path, DiffSide side) : path_(path), side_(side) {}
  ~DiffInput() {
    reader_.reset();
    if (file_ != nullptr) fclose(file_);
  }
  DiffInput(const DiffInput&) = delete;
  DiffInput& operator=(const DiffInput&) = delete;

  // Opens the file, saying why not on standard error.
  bool Open() {
    file_ = OpenForReading(path_);
    if (file_ == nullptr) return false;
    reader_.reset(new (std::nothrow) DatabaseReader({ReadFromFile, file_}));
    if (reader_ == nullptr) {
      ReportNoMemory();
      return false;
    }
    return true;
  }
  ReadStatus ReadHeader(DatabaseHeader* header) {
    status_ = reader_->ReadHeader(header);
    return status_;
  }
  // The next record to compare: those the patterns keep, on drives both
  // sides walked; the others are counted in `totals`.
  bool Next(const DumpOptions& options, const MatchPattern* patterns,
            DiffTotals* totals, DatabaseRecord* record) {
    while (status_ == kReadItem) {
      status_ = reader_->ReadRecord(record);
      if (status_ != kReadItem) return false;
      if (options.patternCount > 0 &&
          !PathMatchesAny(patterns, options.patternCount, record->path,
                          record->pathLength)) {
        continue;
      }
      if (record->pathLength > 0) {
        auto letter = static_cast<uint8_t>(record->path[0]);
        if (totals->walkedOnly[side_][letter]) {
          ++totals->notCompared[side_][letter];
          continue;
        }
      }
      return true;
    }
    return false;
  }
  ReadStatus Status() const { return status_; }
  // Says why the file could not be read to its end.
  void ReportStop() const { ReportReadStop(status_, *reader_, path_); }

 private:
  const char* path_;
  DiffSide side_;
  FILE* file_ = nullptr;
  std::unique_ptr<DatabaseReader> reader_;
  ReadStatus status_ = kReadItem;
};

void ReportFault(DiffFault fault) {
  switch (fault) {
    case kDiffNoMemory: ReportNoMemory(); return;
    case kDiffNoScratchFile:
      fputs("kavelo-dump: cannot create a temporary file\n", stderr);
      return;
    case kDiffScratchWrite:
      fputs("kavelo-dump: cannot write to a temporary file\n", stderr);
      return;
    case kDiffScratchRead:
      fputs("kavelo-dump: cannot read a temporary file\n", stderr);
      return;
    case kDiffFine: return;
  }
}

// Drives in one header's letters and not in the other's: their records are
// not compared.
void MarkWalkedOnly(const DatabaseHeader& old, const DatabaseHeader& now,
                    DiffTotals* totals) {
  bool walked[2][256] = {};
  const DatabaseHeader* headers[2] = {&old, &now};
  for (int side = 0; side < 2; ++side) {
    for (const char* c = headers[side]->driveLetters; *c != '\0'; ++c) {
      walked[side][static_cast<uint8_t>(*c)] = true;
    }
  }
  for (int letter = 0; letter < 256; ++letter) {
    totals->walkedOnly[0][letter] = walked[0][letter] && !walked[1][letter];
    totals->walkedOnly[1][letter] = walked[1][letter] && !walked[0][letter];
  }
}

bool SamePath(const DatabaseRecord& a, const DatabaseRecord& b) {
  return a.pathLength == b.pathLength &&
         memcmp(a.path, b.path, a.pathLength) == 0;
}

// Reads both databases side by side, a record of each in turn, so that
// where their orders agree a record's partner comes at once.
int Compare(const DumpOptions& options, const MatchPattern* patterns,
            Output* out, DiffInput* inputs, DiffWriter* writer) {
  DatabaseHeader headers[2];
  for (int side = 0; side < 2; ++side) {
    if (inputs[side].ReadHeader(&headers[side]) != kReadItem) {
      inputs[side].ReportStop();
      return kExitTrouble;
    }
  }
  DiffTotals* totals = writer->Totals();
  MarkWalkedOnly(headers[0], headers[1], totals);
  std::unique_ptr<RecordPairing> pairing(
      new (std::nothrow) RecordPairing(writer, options.access));
  if (pairing == nullptr || !writer->Begin(headers[0], headers[1])) {
    ReportNoMemory();
    return kExitTrouble;
  }
  bool paired = pairing->Start();
  NextRecord oldNext;
  NextRecord newNext;
  const DatabaseRecord& old = oldNext.record;
  const DatabaseRecord& now = newNext.record;
  bool haveOld = false;
  bool haveNew = false;
  while (paired && !out->Failed()) {
    if (!haveOld) {
      haveOld = inputs[0].Next(options, patterns, totals, &oldNext.record);
      oldNext.hashed = false;
      if (haveOld) pairing->Expect(&oldNext);
    }
    if (!haveNew) {
      haveNew = inputs[1].Next(options, patterns, totals, &newNext.record);
      newNext.hashed = false;
      if (haveNew) pairing->Expect(&newNext);
    }
    // A fault on either side ends the reading.
    if (inputs[0].Status() > kReadEnd || inputs[1].Status() > kReadEnd) break;
    if (!haveOld && !haveNew) break;
    if (haveOld && haveNew) {
      if (SamePath(old, now)) {
        paired = pairing->AddBoth(&oldNext, &newNext);
        haveOld = haveNew = false;
        continue;
      }
      bool tookOld = false;
      bool tookNew = false;
      paired = pairing->AddApart(&oldNext, &newNext, &tookOld, &tookNew);
      haveOld = !tookOld;
      haveNew = !tookNew;
      continue;
    }
    paired =
        haveOld ? pairing->Add(kOldSide, old) : pairing->Add(kNewSide, now);
    haveOld = haveNew = false;
  }
  // Only a whole pair of databases says what was added and removed.
  for (DiffInput* input = inputs; paired && input != inputs + 2; ++input) {
    if (input->Status() > kReadEnd) {
      if (!out->Flush()) break;
      input->ReportStop();
      return kExitTrouble;
    }
  }
  if (paired && !out->Failed()) paired = pairing->Finish();
  if (!out->Flush()) {
    ReportOutputFailed();
    return kExitTrouble;
  }
  if (!paired) {
    ReportFault(pairing->Fault());
    return kExitTrouble;
  }
  writer->End();
  if (!out->Flush()) {
    ReportOutputFailed();
    return kExitTrouble;
  }
  return totals->Different() ? kExitDifferent : kExitDone;
}

}  // namespace

int DiffDatabases(const DumpOptions& options, const MatchPattern* patterns,
                  Output* out) {
  DiffInput inputs[2] = {{options.files[0], kOldSide},
                         {options.files[1], kNewSide}};
  if (!inputs[0].Open() || !inputs[1].Open()) return kExitTrouble;
  std::unique_ptr<DiffWriter> writer(
      new (std::nothrow) DiffWriter(out, options, options.files));
  if (writer == nullptr) {
    ReportNoMemory();
    return kExitTrouble;
  }
  return Compare(options, patterns, out, inputs, writer.get());
}
