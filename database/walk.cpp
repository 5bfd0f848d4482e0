#include "database/walk.h"

#include <cstring>

#include "database/record_store.h"
#include "database/result.h"

namespace {

using platform::kPathSize;

// "\*.*", the search pattern's tail.
constexpr size_t kPatternTail = 4;

// One directory on the current path, from the drive's root down.  Its
// identity is looked up only when a link below it asks, then kept.
struct Level {
  const Level* parent;
  const char* path;
  mutable bool idKnown;
  mutable bool idValid;
  mutable platform::DirectoryId id;
};

bool SameDirectory(const platform::DirectoryId& a,
                   const platform::DirectoryId& b) {
  return a.volume == b.volume && a.index == b.index;
}

// True when the link at `path` leads to a directory on the current path, or
// to one that cannot be identified: entering either might never end.
bool LeadsBack(const char* path, const Level* level) {
  platform::DirectoryId target;
  if (!platform::GetDirectoryId(path, &target)) return true;
  for (; level != nullptr; level = level->parent) {
    if (!level->idKnown) {
      level->idValid = platform::GetDirectoryId(level->path, &level->id);
      level->idKnown = true;
    }
    if (level->idValid && SameDirectory(level->id, target)) return true;
  }
  return false;
}

// Walks one directory.  Its level buffer holds the search pattern first;
// then, for each subdirectory, the subdirectory's path, which stays there
// (as the child's `directory` and `Level::path`) for the child's whole
// sub-walk, and is overwritten only by the next subdirectory.
uint32_t WalkLevel(const char* directory, size_t length, const Level* self) {
  char buffer[kPathSize];
  if (length + kPatternTail >= kPathSize) return kResultWritten;
  memcpy(buffer, directory, length);
  memcpy(buffer + length, "\\*.*", kPatternTail + 1);

  platform::FindEntry entry;
  platform::FindHandle* search = platform::FindFirst(buffer, &entry);
  if (search == nullptr) return kResultWritten;
  uint32_t result = kResultWritten;
  do {
    const char* name = EntryName(entry);
    // Skips "." and "..", which the search reports too, and every other
    // name that begins with a dot.
    if (name[0] == '.') continue;
    size_t nameLength = strlen(name);
    if ((entry.attributes & platform::kAttributeDirectory) == 0) {
      result = RecordStoreAppend(directory, length, name, nameLength, entry);
      if (result != kResultWritten) break;
      continue;
    }
    // A subdirectory whose own search pattern would not fit the level
    // buffer cannot be searched: it is left out.
    if (length + 1 + nameLength + kPatternTail >= kPathSize) continue;
    memcpy(buffer, directory, length);
    buffer[length] = '\\';
    memcpy(buffer + length + 1, name, nameLength + 1);
    if ((entry.attributes & platform::kAttributeReparsePoint) != 0 &&
        LeadsBack(buffer, self)) {
      continue;
    }
    Level child = {self, buffer, false, false, {}};
    result = WalkLevel(buffer, length + 1 + nameLength, &child);
    if (result != kResultWritten) break;
  } while (platform::FindNext(search, &entry));
  platform::FindEnd(search);
  return result;
}

}  // namespace

const char* EntryName(const platform::FindEntry& entry) {
  // Most entries have no short name: test that byte before scanning the name.
  if (entry.alternateName[0] != '\0' && strchr(entry.name, '?') != nullptr) {
    return entry.alternateName;
  }
  return entry.name;
}

uint32_t WalkDirectory(const char* directory) {
  Level root = {nullptr, directory, false, false, {}};
  return WalkLevel(directory, strlen(directory), &root);
}
