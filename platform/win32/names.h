// How the wide search's names become the database's 8-bit names, and how an
// 8-bit path recorded from them leads back to the real (wide) directory.
//
// The records hold paths in the ANSI code page, as the ANSI file functions
// spell them.  Most names spell exactly and open their file through that
// spelling; a name the code page cannot spell exactly comes back changed (a
// best-fit look-alike, or `?`), which opens nothing or another file.  Such a
// name is recorded by its short name when it has one (ASCII, so it opens
// the very entry through any 8-bit path); otherwise by its changed spelling,
// and the search remembers the directory's real name so that the walk still
// enters it.
#pragma once

#include <cstddef>

#include "platform/platform.h"

namespace platform::win32 {

// Converts the NUL-terminated UTF-16 `name` to the ANSI code page as the
// ANSI file functions do, best fit and default character included, into
// `out` (kPathSize bytes, NUL-terminated).  Returns the length, or -1 when
// it takes more than kPathSize - 1 bytes (nothing useful is in `out` then).
// `*exact` tells whether the spelling converts back to the very same name.
int AnsiSpelling(const wchar_t* name, char* out, bool* exact);

enum class NameRule {
  kExact,      // the ANSI spelling, as the ANSI search gives it; it opens
  kShortName,  // the short name stands in for an inexact spelling; it opens
  kInexact,    // the inexact ANSI spelling: no short name to stand in
  kWantsShortName,  // inexact, and the short name was not looked up
  kUnspellable,     // no 8-bit name fits a path: the entry is passed over
};

// The rule for the name an entry is recorded under, with nothing but plain
// values in and out: fills entry->name, nameLength and alternateName for the
// entry named `name` whose short name is `shortName` (empty: it has none;
// null: not looked up yet, and the answer may be kWantsShortName).  A name
// beginning with `.` keeps its own spelling: the walk passes such names over
// by their first character, and a short name would lose the dot.
NameRule RecordName(const wchar_t* name, const wchar_t* shortName,
                    FindEntry* entry);

// A wide path: inline for the lengths an 8-bit path gives, on the heap for
// the longer ones that real names behind short or inexact spellings give.
class WidePath {
 public:
  WidePath() = default;
  ~WidePath();
  WidePath(const WidePath&) = delete;
  WidePath& operator=(const WidePath&) = delete;

  const wchar_t* Text() const { return text_; }
  size_t Length() const { return length_; }
  // False when memory or the longest wide path (32767) runs out.
  bool Append(const wchar_t* text, size_t length);
  // Appends 8-bit text converted from the ANSI code page.
  bool AppendAnsi(const char* text, size_t length);

 private:
  bool Reserve(size_t length);

  wchar_t inline_[2 * kPathSize];
  wchar_t* text_ = inline_;
  size_t capacity_ = 2 * kPathSize;
  size_t length_ = 0;
};

// The real path of the recorded path `path` (`length` bytes): directories
// recorded under an inexact spelling are replaced by their real names.  A
// drive path (`X:` or `X:\...`) of the walk's own making takes the `\\?\`
// form, which opens names exactly as they are and passes MAX_PATH.  False
// when out of memory or the path cannot be converted.
bool ResolvePath(const char* path, size_t length, WidePath* out);

// Tells the search's memory that the directory `name` (`wideName` really)
// of the directory recorded as `directory` was reported under `rule`: an
// inexact spelling is remembered, unless the path it makes already names
// another directory (the ANSI functions would enter that one too); any
// other spelling forgets what an earlier walk remembered for that path.
// Any thread may call it.
void NoteDirectory(const char* directory, size_t directoryLength,
                   const char* name, size_t nameLength, const wchar_t* wideName,
                   NameRule rule);

// Makes the search behave as on a volume without short names (most volumes
// since Windows 8; Wine makes one up for every such name), or as before.
void IgnoreShortNames(bool ignore);

}  // namespace platform::win32
