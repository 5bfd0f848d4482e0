// kavelo-dump's command line.
#pragma once

#include <cstddef>

enum DumpForm {
  kFormList,     // the header, then one tab-separated line per record
  kFormCsv,      // RFC 4180 CSV with a header row
  kFormJson,     // JSON Lines: the header, then one object per record
  kFormPaths,    // the paths alone, each ended by NUL
  kFormSummary,  // the header and the counts
  kFormCheck,    // nothing: the exit code tells
};

struct DumpOptions {
  DumpForm form = kFormList;
  bool raw = false;
  bool help = false;
  // --diff: compare files[0] (OLD) with files[1] (NEW).
  bool diff = false;
  // --access: with --diff, a last-access time that differs is a change too.
  bool access = false;
  // The database files, pointing into argv.
  const char** files = nullptr;
  int fileCount = 0;
  // The --match patterns, pointing into argv.
  const char** patterns = nullptr;
  int patternCount = 0;
};

extern const char kDumpUsageText[];

// Parses argv[1] to argv[argc - 1] into `options`; `patterns` and `files`
// have room for argc entries each and receive the --match patterns and the
// files.  Returns false for a wrong command line, with the reason in `error`
// (of `size` bytes).
bool ParseDumpOptions(int argc, const char* const* argv, const char** patterns,
                      const char** files, DumpOptions* options, char* error,
                      size_t size);
