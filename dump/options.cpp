#include "dump/options.h"

#include <cstdio>
#include <cstring>

// KAVELO_VERSION_TEXT, MAJOR.MINOR of project() in CMakeLists.txt.
const char kDumpUsageText[] =
    "kavelo-dump v" KAVELO_VERSION_TEXT
    "\n"
    "usage: kavelo-dump [options] FILE...\n"
    "       kavelo-dump --diff [options] OLD NEW\n"
    "Lists, checks, searches and compares the databases that kavelo wrote.\n"
    "\n"
    "  (no option)      the header, then a line per record: path, last-write,\n"
    "                   creation and last-access time, size; tab-separated\n"
    "  --csv            CSV (RFC 4180) with a header row\n"
    "  --json           JSON Lines: the header, then an object per record\n"
    "  -0               only the paths, each ended by NUL (for xargs -0)\n"
    "  --summary        the header, the record count, the total size and the\n"
    "                   records per drive\n"
    "  --check          only check the file; the exit code tells\n"
    "  --raw            times as the stored numbers, not ISO 8601 UTC\n"
    "  --match PATTERN  only the records whose file name matches PATTERN\n"
    "                   (* and ?, case-insensitive); with a \\ in PATTERN the\n"
    "                   whole path; may be given several times\n"
    "  --diff           what changed from OLD to NEW: a line a file added,\n"
    "                   removed or changed (size, last-write or creation\n"
    "                   time), then a summary; also with --csv, --json,\n"
    "                   --summary (the summary alone) and --check (nothing)\n"
    "  --access         with --diff, a changed last-access time is a change\n"
    "  -h, --help       this text\n"
    "\n"
    "With several files, each record names its database, and --summary ends\n"
    "with the totals.\n"
    "\n"
    "Exit codes: 0 done, 1 a file is not a well-formed database,\n"
    "2 a file cannot be read, or a wrong command line; with several files,\n"
    "the worst met.  With --diff: 0 no difference, 1 differences, 2 trouble.\n";

namespace {

struct FormOption {
  const char* name;
  DumpForm form;
};

constexpr FormOption kFormOptions[] = {
    {"--csv", kFormCsv},         {"--json", kFormJson},   {"-0", kFormPaths},
    {"--summary", kFormSummary}, {"--check", kFormCheck},
};

const char* FormName(DumpForm form) {
  for (const FormOption& option : kFormOptions) {
    if (option.form == form) return option.name;
  }
  return "";
}

}  // namespace

bool ParseDumpOptions(int argc, const char* const* argv, const char** patterns,
                      const char** files, DumpOptions* options, char* error,
                      size_t size) {
  *options = DumpOptions();
  options->patterns = patterns;
  options->files = files;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (optionsEnded || argument[0] != '-' || argument[1] == '\0') {
      files[options->fileCount++] = argument;
      continue;
    }
    if (strcmp(argument, "--") == 0) {
      optionsEnded = true;
    } else if (strcmp(argument, "-h") == 0 || strcmp(argument, "--help") == 0) {
      options->help = true;
      return true;
    } else if (strcmp(argument, "--raw") == 0) {
      options->raw = true;
    } else if (strcmp(argument, "--diff") == 0) {
      options->diff = true;
    } else if (strcmp(argument, "--access") == 0) {
      options->access = true;

    } else if (strcmp(argument, "--match") == 0) {
      if (i + 1 >= argc) {
        snprintf(error, size, "--match needs a pattern");
        return false;
      }
      patterns[options->patternCount++] = argv[++i];
    } else if (strncmp(argument, "--match=", 8) == 0) {
      patterns[options->patternCount++] = argument + 8;
    } else {
      const FormOption* found = nullptr;
      for (const FormOption& option : kFormOptions) {
        if (strcmp(argument, option.name) == 0) found = &option;
      }
      if (found == nullptr) {
        snprintf(error, size, "unknown option %s", argument);
        return false;
      }
      if (options->form != kFormList && options->form != found->form) {
        snprintf(error, size, "%s and %s cannot be combined",
                 FormName(options->form), found->name);
        return false;
      }
      options->form = found->form;
    }
  }
  if (options->fileCount == 0) {
    snprintf(error, size, "no database file given");
    return false;
  }
  if (options->diff) {
    if (options->form == kFormPaths) {
      snprintf(error, size, "-0 and --diff cannot be combined");
      return false;
    }
    if (options->fileCount != 2) {
      snprintf(error, size, "--diff compares two files, OLD and NEW; %d given",
               options->fileCount);
      return false;
    }
  } else if (options->access) {
    snprintf(error, size, "--access counts with --diff only");
    return false;
  }
  return true;
}
