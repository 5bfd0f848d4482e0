#include "dump/input.h"

#include <cerrno>
#include <cstring>

#include "dump/stdout.h"

namespace {

void Complain(const char* what, const char* file) {
  fprintf(stderr, "kavelo-dump: %s %s: %s\n", what, file, strerror(errno));
}

}  // namespace

FILE* OpenForReading(const char* path) {
  FILE* file = OpenDatabase(path);
  if (file == nullptr) {
    Complain("cannot open", path);
    return nullptr;
  }
  // The reader's own buffer takes whole chunks: no second copy in stdio.
  setvbuf(file, nullptr, _IONBF, 0);
  return file;
}

int64_t ReadFromFile(void* context, void* bytes, uint32_t count) {
  FILE* file = static_cast<FILE*>(context);
  size_t got = fread(bytes, 1, count, file);
  if (got < count && ferror(file)) return -1;
  return static_cast<int64_t>(got);
}

int ReportReadStop(ReadStatus status, const DatabaseReader& reader,
                   const char* path) {
  switch (status) {
    case kReadMalformed: {
      char text[256];
      DescribeReadFault(reader.Fault(), text, sizeof text);
      fprintf(stderr, "kavelo-dump: %s: %s\n", path, text);
      return kExitMalformed;
    }
    case kReadNoMemory: ReportNoMemory(); return kExitTrouble;
    default: Complain("cannot read", path); return kExitTrouble;
  }
}

void ReportNoMemory() {
  fputs("kavelo-dump: cannot allocate memory\n", stderr);
}

void ReportOutputFailed() {
  fputs("kavelo-dump: cannot write to standard output\n", stderr);
}
