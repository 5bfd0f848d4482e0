#include "database/walk.h"

#include <cstring>

#include "database/record_store.h"
#include "database/result.h"
#include "support/memory.h"

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

// The directories one drive's walk has entered through a link: links that
// never loop can still multiply the walk (two links to the next directory,
// level after level, double it at each level), so each such directory is
// entered once.  An open-addressing set that takes memory only when the
// first link is met.
struct LinkedDirectories {
  struct Slot {
    platform::DirectoryId id;
    bool used;
  };
  Slot* slots = nullptr;
  size_t capacity = 0;  // a power of two, or 0
  size_t count = 0;
};

constexpr size_t kFirstCapacity = 16;

size_t SlotOf(const platform::DirectoryId& id, size_t capacity) {
  uint64_t hash = (id.index ^ (id.volume << 17)) * 0x9E3779B97F4A7C15ull;
  return static_cast<size_t>(hash >> 32) & (capacity - 1);
}

// The slot holding `id`, or the free slot where it belongs.
LinkedDirectories::Slot* Find(const LinkedDirectories& set,
                              const platform::DirectoryId& id) {
  size_t at = SlotOf(id, set.capacity);
  while (set.slots[at].used && !SameDirectory(set.slots[at].id, id)) {
    at = (at + 1) & (set.capacity - 1);
  }
  return &set.slots[at];
}

// Doubles the set (or starts it).  False when the memory cannot be obtained;
// the set is then unchanged.
bool Grow(LinkedDirectories* set) {
  size_t capacity = set->capacity == 0 ? kFirstCapacity : set->capacity * 2;
  size_t bytes = capacity * sizeof(LinkedDirectories::Slot);
  auto* slots = static_cast<LinkedDirectories::Slot*>(memory::Allocate(bytes));
  if (slots == nullptr) return false;
  memset(slots, 0, bytes);
  LinkedDirectories grown = {slots, capacity, set->count};
  for (size_t i = 0; i < set->capacity; ++i) {
    if (set->slots[i].used) *Find(grown, set->slots[i].id) = set->slots[i];
  }
  memory::Release(set->slots);
  *set = grown;
  return true;
}

// True when the link at `path` leads to a directory on the current path, or
// to one that cannot be identified: entering either might never end.
// Otherwise `*target` is the directory it leads to.
bool LeadsBack(const char* path, const Level* level,
               platform::DirectoryId* target) {
  if (!platform::GetDirectoryId(path, target)) return true;
  for (; level != nullptr; level = level->parent) {
    if (!level->idKnown) {
      level->idValid = platform::GetDirectoryId(level->path, &level->id);
      level->idKnown = true;
    }
    if (level->idValid && SameDirectory(level->id, *target)) return true;
  }
  return false;
}

// Whether the link at `path` is entered: not when it leads back (above), nor
// when this walk has entered its target through a link before.  Returns
// kResultNoMemory when the set cannot grow to remember the target.
uint32_t AdmitLink(const char* path, const Level* level,
                   LinkedDirectories* linked, bool* enter) {
  *enter = false;
  platform::DirectoryId target;
  if (LeadsBack(path, level, &target)) return kResultWritten;
  if (linked->capacity != 0 && Find(*linked, target)->used) {
    return kResultWritten;
  }
  if ((linked->count + 1) * 2 > linked->capacity && !Grow(linked)) {
    return kResultNoMemory;
  }
  *Find(*linked, target) = {target, true};
  ++linked->count;
  *enter = true;
  return kResultWritten;
}

// Walks one directory.  Its level buffer holds the search pattern first;
// then, for each subdirectory, the subdirectory's path, which stays there
// (as the child's `directory` and `Level::path`) for the child's whole
// sub-walk, and is overwritten only by the next subdirectory.
uint32_t WalkLevel(const char* directory, size_t length, const Level* self,
                   LinkedDirectories* linked) {
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
    if ((entry.attributes & platform::kAttributeReparsePoint) != 0) {
      bool enter;
      result = AdmitLink(buffer, self, linked, &enter);
      if (result != kResultWritten) break;
      if (!enter) continue;
    }
    Level child = {self, buffer, false, false, {}};
    result = WalkLevel(buffer, length + 1 + nameLength, &child, linked);
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
  LinkedDirectories linked;
  uint32_t result = WalkLevel(directory, strlen(directory), &root, &linked);
  memory::Release(linked.slots);
  return result;
}
