#include "database/entry_name.h"

#include <cstring>

const char* EntryName(const platform::FindEntry& entry, size_t* length) {
  // Most entries have no short name: test that byte before scanning the name.
  if (entry.alternateName[0] != '\0' &&
      memchr(entry.name, '?', entry.nameLength) != nullptr) {
    *length = strlen(entry.alternateName);
    return entry.alternateName;
  }
  *length = entry.nameLength;
  return entry.name;
}
