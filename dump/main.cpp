#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "database/reader.h"
#include "dump/csv.h"
#include "dump/json.h"
#include "dump/listing.h"
#include "dump/options.h"
#include "dump/output.h"
#include "dump/pipeline.h"
#include "dump/stdout.h"
#include "dump/summary.h"
#include "dump/wildcard.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitMalformed = 1;
constexpr int kExitCannotRead = 2;  // also: a wrong command line

// Big enough to stay off the stack.
Output gOutput(stdout);

int64_t ReadFromFile(void* context, void* bytes, uint32_t count) {
  FILE* file = static_cast<FILE*>(context);
  size_t got = fread(bytes, 1, count, file);
  if (got < count && ferror(file)) return -1;
  return static_cast<int64_t>(got);
}

void Complain(const char* what, const char* file) {
  fprintf(stderr, "kavelo-dump: %s %s: %s\n", what, file, strerror(errno));
}

// Reads the whole database through `reader` and writes it in the form
// `options` asks for.  Returns the exit code.
int Dump(DatabaseReader* reader, const DumpOptions& options,
         const MatchPattern* patterns) {
  Output* out = &gOutput;
  DatabaseHeader header;
  ReadStatus status = reader->ReadHeader(&header);
  SummaryCounts* counts = nullptr;
  if (status == kReadItem) {
    switch (options.form) {
      case kFormList:
        WriteHeaderLines(out, header, options.raw);
        out->Put('\n');
        break;
      case kFormCsv: WriteCsvTitles(out); break;
      case kFormJson: WriteJsonHeader(out, header, options.raw); break;
      case kFormSummary:
        counts = new (std::nothrow) SummaryCounts();
        if (counts == nullptr) {
          fputs("kavelo-dump: cannot allocate memory\n", stderr);
          return kExitCannotRead;
        }
        WriteHeaderLines(out, header, options.raw);
        CountDriveLetters(counts, header.driveLetters);
        break;
      case kFormPaths:
      case kFormCheck: break;
    }
  }
  FormatRecord format = nullptr;
  TextBound bound = {0, 0};
  LineForm(options.form, &format, &bound);
  FormatPipeline pipeline(out, format, options.raw, bound);
  bool piped = status == kReadItem && format != nullptr && pipeline.Start();
  DatabaseRecord record;
  while (status == kReadItem && !out->Failed()) {
    status = reader->ReadRecord(&record);
    if (status != kReadItem) break;
    if (options.patternCount > 0 &&
        !PathMatchesAny(patterns, options.patternCount, record.path,
                        record.pathLength)) {
      continue;
    }
    if (piped) {
      if (!pipeline.Add(record)) break;
      continue;
    }
    switch (options.form) {
      case kFormList: WriteListRecord(out, record, options.raw); break;
      case kFormCsv: WriteCsvRecord(out, record, options.raw); break;
      case kFormJson: WriteJsonRecord(out, record, options.raw); break;
      case kFormPaths: WritePathWithNul(out, record); break;
      case kFormSummary: CountRecord(counts, record); break;
      case kFormCheck: break;
    }
  }
  bool written = !piped || pipeline.Finish();
  if (status == kReadEnd && counts != nullptr) {
    WriteSummaryCounts(out, *counts);
  }
  delete counts;
  // The whole records before a fault are out before the message.
  if (!out->Flush() || !written) {
    fputs("kavelo-dump: cannot write to standard output\n", stderr);
    return kExitCannotRead;
  }
  switch (status) {
    case kReadEnd: return kExitDone;
    case kReadMalformed: {
      char text[256];
      DescribeReadFault(reader->Fault(), text, sizeof text);
      fprintf(stderr, "kavelo-dump: %s: %s\n", options.file, text);
      return kExitMalformed;
    }
    case kReadNoMemory:
      fputs("kavelo-dump: cannot allocate memory\n", stderr);
      return kExitCannotRead;
    default: Complain("cannot read", options.file); return kExitCannotRead;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::unique_ptr<const char*[]> patternTexts(new (std::nothrow)
                                                  const char*[argc + 1]);
  std::unique_ptr<MatchPattern[]> patterns(new (std::nothrow)
                                               MatchPattern[argc + 1]);
  if (patternTexts == nullptr || patterns == nullptr) {
    fputs("kavelo-dump: cannot allocate memory\n", stderr);
    return kExitCannotRead;
  }
  DumpOptions options;
  char error[512];
  if (!ParseDumpOptions(argc, argv, patternTexts.get(), &options, error,
                        sizeof error)) {
    fprintf(stderr, "kavelo-dump: %s\nTry 'kavelo-dump -h' for the usage.\n",
            error);
    return kExitCannotRead;
  }
  if (options.help) {
    fputs(kDumpUsageText, stdout);
    return kExitDone;
  }
  for (int i = 0; i < options.patternCount; ++i) {
    patterns[i] = MakeMatchPattern(options.patterns[i]);
  }
  FILE* file = OpenDatabase(options.file);
  if (file == nullptr) {
    Complain("cannot open", options.file);
    return kExitCannotRead;
  }
  // The reader's own buffer takes whole chunks: no second copy in stdio.
  setvbuf(file, nullptr, _IONBF, 0);
  SetStdoutBinary();
  // Output passes whole chunks of its own: one write each.
  setvbuf(stdout, nullptr, _IONBF, 0);
  int code;
  {
    DatabaseReader reader({ReadFromFile, file});
    code = Dump(&reader, options, patterns.get());
  }
  fclose(file);
  return code;
}
