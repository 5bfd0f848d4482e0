#include "database/directory_list.h"

#include <cstring>

#include "database/walk.h"
#include "support/memory.h"

namespace {

// Most directories (some twenty entries) fit the first block; a larger one
// doubles it.
constexpr uint32_t kFirstCapacity = 1024;

bool Grow(DirectoryList* list, uint32_t needed) {
  uint32_t capacity = list->capacity == 0 ? kFirstCapacity : list->capacity;
  while (capacity - list->used < needed) capacity *= 2;
  auto* bytes = static_cast<uint8_t*>(memory::Allocate(capacity));
  if (bytes == nullptr) return false;
  if (list->used != 0) memcpy(bytes, list->bytes, list->used);
  memory::Release(list->bytes);
  list->bytes = bytes;
  list->capacity = capacity;
  return true;
}

bool Append(DirectoryList* list, const char* name, size_t nameLength,
            const platform::FindEntry& found) {
  constexpr size_t kAlign = alignof(ListedEntry);
  auto size = static_cast<uint32_t>(
      (sizeof(ListedEntry) + nameLength + 1 + kAlign - 1) & ~(kAlign - 1));
  if (list->capacity - list->used < size && !Grow(list, size)) return false;
  auto* entry = reinterpret_cast<ListedEntry*>(list->bytes + list->used);
  entry->attributes = found.attributes;
  entry->sizeLow = found.sizeLow;
  entry->lastWriteTime = found.lastWriteTime;
  entry->creationTime = found.creationTime;
  entry->lastAccessTime = found.lastAccessTime;
  entry->ahead = nullptr;
  entry->size = static_cast<uint16_t>(size);
  entry->nameLength = static_cast<uint16_t>(nameLength);
  memcpy(entry + 1, name, nameLength + 1);
  list->used += size;
  return true;
}

}  // namespace

ListRead ReadDirectoryList(const char* pattern, DirectoryList* list) {
  platform::FindEntry found;
  platform::FindHandle* search = platform::FindFirst(pattern, &found);
  if (search == nullptr) return ListRead::kUnreadable;
  do {
    const char* name = EntryName(found);
    // Skips "." and "..", which the search reports too, and every other
    // name that begins with a dot.
    if (name[0] == '.') continue;
    if (!Append(list, name, strlen(name), found)) {
      platform::FindEnd(search);
      ReleaseDirectoryList(list);
      return ListRead::kNoMemory;
    }
  } while (platform::FindNext(search, &found));
  platform::FindEnd(search);
  return ListRead::kRead;
}

void ReleaseDirectoryList(DirectoryList* list) {
  memory::Release(list->bytes);
  *list = DirectoryList();
}
