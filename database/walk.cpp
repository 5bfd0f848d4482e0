#include "database/walk.h"

#include <cstring>

#include "database/directory_list.h"
#include "database/entry_name.h"
#include "database/read_ahead.h"
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
// when this walk has entered its target through a link before.  When it is,
// `*target` is the directory it was found to lead to.  Returns
// kResultNoMemory when the set cannot grow to remember the target.
uint32_t AdmitLink(const char* path, const Level* level,
                   LinkedDirectories* linked, bool* enter,
                   platform::DirectoryId* target) {
  *enter = false;
  if (LeadsBack(path, level, target)) return kResultWritten;
  if (linked->capacity != 0 && Find(*linked, *target)->used) {
    return kResultWritten;
  }
  if ((linked->count + 1) * 2 > linked->capacity && !Grow(linked)) {
    return kResultNoMemory;
  }
  *Find(*linked, *target) = {*target, true};
  ++linked->count;
  *enter = true;
  return kResultWritten;
}

// The walk's result after a search failed: a directory that cannot be
// searched yields nothing, and a search's end is no failure; but a search
// cut short for want of descriptors or memory leaves files unrecorded, and
// fails the walk.
uint32_t AfterSearchFailed() {
  switch (platform::SearchError()) {
    case platform::kErrorTooManyOpenFiles: return kWalkNoDescriptors;
    case platform::kErrorOutOfMemory: return kResultNoMemory;
    default: return kResultWritten;
  }
}

// True when the search that just failed found no descriptor left and the
// workers have now given theirs back: it is worth once more, after which
// the caller resumes them.
bool PausedForDescriptors() {
  return platform::SearchError() == platform::kErrorTooManyOpenFiles &&
         ReadAheadPause();
}

// FindNext, tried once more with the workers' descriptors given back when
// it found none left.
bool Next(platform::FindHandle* search, platform::FindEntry* entry) {
  if (platform::FindNext(search, entry)) return true;
  if (!PausedForDescriptors()) return false;
  bool found = platform::FindNext(search, entry);
  ReadAheadResume();
  return found;
}

uint32_t WalkLevel(const char* directory, size_t length, const Level* self,
                   LinkedDirectories* linked, AheadTask* ahead,
                   const platform::ExpectedDirectory* expected);

// Records the file `name` of `directory`, or walks the subdirectory `name`
// through `buffer`, the directory's level buffer.  Every decision about
// entering is taken here, on the walk's thread, in the walk's order: a
// read-ahead (`ahead`) of a subdirectory not entered is dropped.
uint32_t Visit(const char* directory, size_t length, char* buffer,
               const Level* self, LinkedDirectories* linked, const char* name,
               size_t nameLength, const platform::FindEntry& entry,
               AheadTask* ahead) {
  if ((entry.attributes & platform::kAttributeDirectory) == 0) {
    return RecordStoreAppend(directory, length, name, nameLength, entry);
  }
  // A subdirectory whose own search pattern would not fit the level buffer
  // cannot be searched: it is left out.
  size_t childLength = length + 1 + nameLength;
  if (!PatternFits(childLength)) {
    ReadAheadDrop(ahead);
    return kResultWritten;
  }
  memcpy(buffer, directory, length);
  buffer[length] = '\\';
  memcpy(buffer + length + 1, name, nameLength + 1);
  // The walk enters the directory it decided on, or none: by the time it is
  // opened its name may lead elsewhere.
  platform::ExpectedDirectory expected = {entry.id, false};
  if ((entry.attributes & platform::kAttributeReparsePoint) != 0) {
    bool enter;
    uint32_t result = AdmitLink(buffer, self, linked, &enter, &expected.id);
    if (result != kResultWritten || !enter) {
      ReadAheadDrop(ahead);
      return result;
    }
    expected.throughLink = true;
  }
  Level child = {self, buffer, false, false, {}};
  return WalkLevel(buffer, childLength, &child, linked, ahead, &expected);
}

// Walks a directory entry by entry, its search open while the walk
// descends: the serial walk, and the way when no memory is left for the
// directory's list.  `buffer` holds the search pattern.
uint32_t WalkSearch(const char* directory, size_t length, char* buffer,
                    const Level* self, LinkedDirectories* linked,
                    const platform::ExpectedDirectory* expected) {
  platform::FindEntry entry;
  platform::FindHandle* search = platform::FindFirst(buffer, &entry, expected);
  if (search == nullptr && PausedForDescriptors()) {
    search = platform::FindFirst(buffer, &entry, expected);
    ReadAheadResume();
  }
  if (search == nullptr) return AfterSearchFailed();
  uint32_t result = kResultWritten;
  for (;;) {
    size_t nameLength;
    const char* name = EntryName(entry, &nameLength);
    // Skips "." and "..", which the search reports too, and every other
    // name that begins with a dot.
    if (name[0] != '.') {
      result = Visit(directory, length, buffer, self, linked, name, nameLength,
                     entry, nullptr);
      if (result != kResultWritten) break;
    }
    if (!Next(search, &entry)) {
      result = AfterSearchFailed();
      break;
    }
  }
  platform::FindEnd(search);
  ReadAheadNoteWalkRead();
  return result;
}

// Walks one directory from its list, read ahead or read here.  Its level
// buffer holds the search pattern first; then, for each subdirectory, the
// subdirectory's path, which stays there (as the child's `directory` and
// `Level::path`) for the child's whole sub-walk, and is overwritten only by
// the next subdirectory.
uint32_t WalkLevel(const char* directory, size_t length, const Level* self,
                   LinkedDirectories* linked, AheadTask* ahead,
                   const platform::ExpectedDirectory* expected) {
  char buffer[kPathSize];
  DirectoryList list;
  if (ahead == nullptr || !ReadAheadTake(ahead, &list)) {
    memcpy(buffer, directory, length);
    memcpy(buffer + length, "\\*.*", kPatternTail + 1);
    // With no workers nothing reads ahead: the walk takes each entry
    // straight from the search, which a list would only copy once more.
    if (!ReadAheadRunning()) {
      return WalkSearch(directory, length, buffer, self, linked, expected);
    }
    ListRead read = ReadDirectoryList(buffer, expected, &list);
    if (read == ListRead::kNoDescriptors && ReadAheadPause()) {
      // Perhaps only while the workers held theirs: once more with none
      // held, so that the directory is read as the serial walk would read it.
      read = ReadDirectoryList(buffer, expected, &list);
      ReadAheadResume();
    }
    switch (read) {
      case ListRead::kRead: break;
      case ListRead::kUnreadable: return kResultWritten;
      case ListRead::kNoDescriptors: return kWalkNoDescriptors;
      case ListRead::kNoMemory:
        return WalkSearch(directory, length, buffer, self, linked, expected);
    }
    ReadAheadQueue(directory, length, &list);
  }
  // Visit reads the attributes, times and size of an entry, not its name.
  platform::FindEntry entry;
  uint32_t result = kResultWritten;
  ListCursor cursor = FirstEntry(list);
  while (result == kResultWritten) {
    ListedEntry* at = NextEntry(&cursor);
    if (at == nullptr) break;
    entry.attributes = at->attributes;
    entry.lastWriteTime = at->lastWriteTime;
    entry.creationTime = at->creationTime;
    entry.lastAccessTime = at->lastAccessTime;
    entry.sizeLow = at->sizeLow;
    if ((at->attributes & platform::kAttributeDirectory) != 0) {
      entry.id = at->Identity();
    }
    result = Visit(directory, length, buffer, self, linked, at->Name(),
                   at->nameLength, entry, at->ahead);
  }
  // A failure leaves the rest unvisited: their read-aheads are not wanted.
  while (ListedEntry* rest = NextEntry(&cursor)) ReadAheadDrop(rest->ahead);
  ReleaseDirectoryList(&list);
  return result;
}

}  // namespace

uint32_t WalkDirectory(const char* directory, unsigned workers,
                       WorkersStart start) {
  ReadAheadStart(workers, start);
  Level root = {nullptr, directory, false, false, {}};
  LinkedDirectories linked;
  uint32_t result =
      WalkLevel(directory, strlen(directory), &root, &linked, nullptr, nullptr);
  ReadAheadStop();
  platform::EndSearches();
  ReleaseListPool();
  memory::Release(linked.slots);
  return result;
}
