#include <cstdio>
#include <memory>
#include <new>

#include "dump/diff.h"
#include "dump/dump.h"
#include "dump/input.h"
#include "dump/options.h"
#include "dump/output.h"
#include "dump/stdout.h"
#include "dump/wildcard.h"

namespace {

// Big enough to stay off the stack.
Output gOutput(stdout);

}  // namespace

int main(int argc, char** argv) {
  std::unique_ptr<const char*[]> patternTexts(new (std::nothrow)
                                                  const char*[argc + 1]);
  std::unique_ptr<const char*[]> files(new (std::nothrow)
                                           const char*[argc + 1]);
  std::unique_ptr<MatchPattern[]> patterns(new (std::nothrow)
                                               MatchPattern[argc + 1]);
  if (patternTexts == nullptr || files == nullptr || patterns == nullptr) {
    ReportNoMemory();
    return kExitTrouble;
  }
  DumpOptions options;
  char error[512];
  if (!ParseDumpOptions(argc, argv, patternTexts.get(), files.get(), &options,
                        error, sizeof error)) {
    fprintf(stderr, "kavelo-dump: %s\nTry 'kavelo-dump -h' for the usage.\n",
            error);
    return kExitTrouble;
  }
  if (options.help) {
    fputs(kDumpUsageText, stdout);
    return kExitDone;
  }
  for (int i = 0; i < options.patternCount; ++i) {
    patterns[i] = MakeMatchPattern(options.patterns[i]);
  }
  SetStdoutBinary();
  // Output passes whole chunks of its own: one write each.
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (options.diff) return DiffDatabases(options, patterns.get(), &gOutput);
  return DumpDatabases(options, patterns.get(), &gOutput);
}
