// The rule by which a name found by the wide search is recorded.
#include "platform/win32/names.h"

#include <windows.h>

#include <cstring>
#include <cwchar>

namespace platform::win32 {

int AnsiSpelling(const wchar_t* name, char* out, bool* exact) {
  // Every ANSI code page spells ASCII as itself: most names need no
  // conversion call at all.
  size_t at = 0;
  for (; name[at] != L'\0' && name[at] < 0x80; ++at) {
    if (at + 1 == kPathSize) return -1;
    out[at] = static_cast<char>(name[at]);
  }
  if (name[at] == L'\0') {
    out[at] = '\0';
    *exact = true;
    return static_cast<int>(at);
  }
  // The conversion of the ANSI file functions: best-fit look-alikes, and
  // the default character for the rest.  Exact only when it converts back
  // to the same name; this also holds where the code page is UTF-8, which
  // takes no WC_NO_BEST_FIT_CHARS.
  int bytes = WideCharToMultiByte(
      CP_ACP, 0, name, -1, out, static_cast<int>(kPathSize), nullptr, nullptr);
  if (bytes <= 0) return -1;
  wchar_t back[kPathSize];
  int chars = MultiByteToWideChar(CP_ACP, 0, out, -1, back,
                                  static_cast<int>(kPathSize));
  *exact = chars > 0 && wcscmp(back, name) == 0;
  return bytes - 1;
}

NameRule RecordName(const wchar_t* name, const wchar_t* shortName,
                    FindEntry* entry) {
  entry->alternateName[0] = '\0';
  bool exact = false;
  int length = AnsiSpelling(name, entry->name, &exact);
  if (name[0] == L'.') {
    // Passed over by the walk whatever follows: the dot is enough.
    if (length < 0) length = 1;
    entry->name[length] = '\0';
    entry->nameLength = static_cast<uint32_t>(length);
    return NameRule::kExact;
  }
  if (length >= 0) entry->nameLength = static_cast<uint32_t>(length);
  if (length >= 0 && exact) return NameRule::kExact;
  if (shortName == nullptr) return NameRule::kWantsShortName;
  // A short name stands in only when it opens the entry through an 8-bit
  // path: exactly spelled (FAT keeps short names in the OEM code page), of
  // 8.3 length, and not the long name itself (what a volume without short
  // names answers).
  char shortAnsi[kPathSize];
  bool shortExact = false;
  int shortLength = shortName[0] == L'\0'
                        ? -1
                        : AnsiSpelling(shortName, shortAnsi, &shortExact);
  if (shortLength > 0 && shortExact &&
      static_cast<size_t>(shortLength) < sizeof entry->alternateName &&
      wcscmp(shortName, name) != 0) {
    memcpy(entry->name, shortAnsi, static_cast<size_t>(shortLength) + 1);
    memcpy(entry->alternateName, shortAnsi,
           static_cast<size_t>(shortLength) + 1);
    entry->nameLength = static_cast<uint32_t>(shortLength);
    return NameRule::kShortName;
  }
  return length < 0 ? NameRule::kUnspellable : NameRule::kInexact;
}

}  // namespace platform::win32
