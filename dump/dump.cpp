#include "dump/dump.h"

#include <cstdio>
#include <memory>
#include <new>

#include "database/reader.h"
#include "dump/csv.h"
#include "dump/input.h"
#include "dump/json.h"
#include "dump/listing.h"
#include "dump/numbers.h"
#include "dump/pipeline.h"
#include "dump/summary.h"

namespace {

// One database's result when the output cannot be written: the call ends.
constexpr int kOutputFailed = -1;

// What the databases of one call share.
struct DumpRun {
  const DumpOptions& options;
  const MatchPattern* patterns;
  Output* out;
  bool several;
  // With several, in the listing, CSV and JSON: the label of the current
  // database's records.
  Output* label;
  // With several, for --summary: the totals of the databases read whole.
  SummaryCounts* totals;
  uint64_t summed;
  // A database's lines are out: the next one's are set apart.
  bool begun;
  // The CSV title row is out.
  bool titled;
};

void MakeLabel(const DumpRun& run, const char* path, FormStyle* style) {
  if (run.label == nullptr) return;
  run.label->Clear();
  switch (run.options.form) {
    case kFormList: MakeListLabel(run.label, path); break;
    case kFormCsv: MakeCsvLabel(run.label, path); break;
    case kFormJson: MakeJsonLabel(run.label, path); break;
    default: return;
  }
  style->label = run.label->Data();
  style->labelLength = run.label->Used();
}

// Reads one database through `reader` and writes it in the run's form.
// Returns its exit code, or kOutputFailed.
int DumpOne(DumpRun* run, const char* path, DatabaseReader* reader) {
  const DumpOptions& options = run->options;
  Output* out = run->out;
  FormStyle style;
  style.raw = options.raw;
  MakeLabel(*run, path, &style);
  const char* named = run->several ? path : nullptr;
  DatabaseHeader header;
  ReadStatus status = reader->ReadHeader(&header);
  std::unique_ptr<SummaryCounts> counts;
  if (status == kReadItem) {
    switch (options.form) {
      case kFormList:
        if (run->begun) out->Put('\n');
        WriteHeaderLines(out, header, options.raw, named);
        out->Put('\n');
        break;
      case kFormCsv:
        if (!run->titled) WriteCsvTitles(out, run->several);
        run->titled = true;
        break;
      case kFormJson: WriteJsonHeader(out, header, style); break;
      case kFormSummary:
        counts.reset(new (std::nothrow) SummaryCounts());
        if (counts == nullptr) {
          ReportNoMemory();
          return kExitTrouble;
        }
        if (run->begun) out->Put('\n');
        WriteHeaderLines(out, header, options.raw, named);
        CountDriveLetters(counts.get(), header.driveLetters);
        break;
      case kFormPaths:
      case kFormCheck: break;
    }
    run->begun = true;
  }
  FormatRecord format = nullptr;
  TextBound bound = {0, 0};
  LineForm(options.form, style.labelLength, &format, &bound);
  FormatPipeline pipeline(out, format, style, bound);
  bool piped = status == kReadItem && format != nullptr && pipeline.Start();
  DatabaseRecord record;
  while (status == kReadItem && !out->Failed()) {
    status = reader->ReadRecord(&record);
    if (status != kReadItem) break;
    if (options.patternCount > 0 &&
        !PathMatchesAny(run->patterns, options.patternCount, record.path,
                        record.pathLength)) {
      continue;
    }
    if (piped) {
      if (!pipeline.Add(record)) break;
      continue;
    }
    switch (options.form) {
      case kFormList: WriteListRecord(out, record, style); break;
      case kFormCsv: WriteCsvRecord(out, record, style); break;
      case kFormJson: WriteJsonRecord(out, record, style); break;
      case kFormPaths: WritePathWithNul(out, record); break;
      case kFormSummary: CountRecord(counts.get(), record); break;
      case kFormCheck: break;
    }
  }
  bool written = !piped || pipeline.Finish();
  if (status == kReadEnd && counts != nullptr) {
    WriteSummaryCounts(out, *counts);
    if (run->totals != nullptr) {
      AddSummaryCounts(run->totals, *counts);
      ++run->summed;
    }
  }
  // The whole records before a fault are out before the message.
  if (!out->Flush() || !written) return kOutputFailed;
  if (status == kReadEnd) return kExitDone;
  return ReportReadStop(status, *reader, path);
}

}  // namespace

int DumpDatabases(const DumpOptions& options, const MatchPattern* patterns,
                  Output* out) {
  bool several = options.fileCount > 1;
  bool labelled = options.form == kFormList || options.form == kFormCsv ||
                  options.form == kFormJson;
  std::unique_ptr<Output> label;
  std::unique_ptr<SummaryCounts> totals;
  if (several && labelled) {
    label.reset(new (std::nothrow) Output(nullptr));
    if (label == nullptr) {
      ReportNoMemory();
      return kExitTrouble;
    }
  }
  if (several && options.form == kFormSummary) {
    totals.reset(new (std::nothrow) SummaryCounts());
    if (totals == nullptr) {
      ReportNoMemory();
      return kExitTrouble;
    }
  }
  DumpRun run = {options,      patterns, out,   several, label.get(),
                 totals.get(), 0,        false, false};
  int worst = kExitDone;
  for (int i = 0; i < options.fileCount; ++i) {
    const char* path = options.files[i];
    FILE* file = OpenForReading(path);
    if (file == nullptr) {
      worst = kExitTrouble;
      continue;
    }
    int code;
    {
      DatabaseReader reader({ReadFromFile, file});
      code = DumpOne(&run, path, &reader);
    }
    fclose(file);
    if (code == kOutputFailed) {
      ReportOutputFailed();
      return kExitTrouble;
    }
    if (code > worst) worst = code;
  }
  if (totals != nullptr) {
    if (run.begun) out->Put('\n');
    char line[40] = "databases: ";
    size_t used = 11 + FormatUnsigned(run.summed, line + 11);
    line[used++] = '\n';
    out->Append(line, used);
    WriteSummaryCounts(out, *totals);
    if (!out->Flush()) {
      ReportOutputFailed();
      return kExitTrouble;
    }
  }
  return worst;
}
