#include "app/options.h"

#include <cstring>

#include "support/text.h"

// KAVELO_VERSION_TEXT, MAJOR.MINOR of project() in CMakeLists.txt.
const char kUsageText[] =
    "kavelo v" KAVELO_VERSION_TEXT
    "\n"
    "usage: kavelo [-LXYZ | -L1] [-D dbfile] [-Tc creator] "
    "[-Td description] [-Q] [-H]\n"
    "\tparameters:\n"
    "\t -LXYZ:  check X:,Y: and Z: drives\n"
    "\t -L1:    check all local hard drives\n"
    "\t -D:     set database file\n"
    "\t -Tc:    set creator\n"
    "\t -Td:    set description\n"
    "\t -Q:     quiet mode\n"
    "\t -H:     help, this screen";

namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }

// The value of an option: the rest of the argument, or else the next
// argument, consumed whatever it is.  Null when there is neither.
const char* OptionValue(const char* rest, int argc, const char* const* argv,
                        int* index) {
  if (rest[0] != '\0') return rest;
  if (*index + 1 >= argc) return nullptr;
  ++*index;
  return argv[*index];
}

// Copies `value` into `buffer` when it fits; otherwise empties the buffer
// and remembers the value in `*overlong`.
void CopyBounded(const char* value, char* buffer, size_t size,
                 const char** overlong) {
  *overlong = CopyIfFits(value, strlen(value), buffer, size) ? nullptr : value;
}

}  // namespace

void ParseCommandLine(int argc, const char* const* argv, RunRequest* request,
                      DynString* creator, DynString* description) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] != '-' && argument[0] != '/') continue;
    const char* value = nullptr;
    switch (Upper(argument[1])) {
      case 'L':
        value = OptionValue(argument + 2, argc, argv, &i);
        if (value != nullptr) {
          CopyBounded(value, request->driveSpecification,
                      kDriveSpecificationSize,
                      &request->overlongDriveSpecification);
        }
        break;
      case 'T': {
        char which = Upper(argument[2]);
        if (which != 'C' && which != 'D') break;
        value = OptionValue(argument + 3, argc, argv, &i);
        DynString* text = which == 'C' ? creator : description;
        text->Assign(value, DynString::kAll);
        break;
      }
      case 'Q': request->quiet = true; break;
      case 'D':
        value = OptionValue(argument + 2, argc, argv, &i);
        if (value != nullptr) {
          CopyBounded(value, request->databasePath, platform::kPathSize,
                      &request->overlongDatabasePath);
        }
        break;
      case 'H': request->help = true; break;
      default: break;
    }
  }
}
