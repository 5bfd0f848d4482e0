#include "database/directory_list.h"

#include <cstring>
#include <mutex>

#include "database/entry_name.h"
#include "support/memory.h"

namespace {

std::mutex gPoolLock;
ListChunk* gPool = nullptr;  // free chunks, linked by `next`

ListChunk* TakeChunk() {
  {
    std::lock_guard<std::mutex> guard(gPoolLock);
    if (gPool != nullptr) {
      ListChunk* chunk = gPool;
      gPool = chunk->next;
      return chunk;
    }
  }
  return static_cast<ListChunk*>(
      memory::Allocate(sizeof(ListChunk) + kListChunkSize));
}

bool Append(DirectoryList* list, const char* name, size_t nameLength,
            const platform::FindEntry& found) {
  constexpr size_t kAlign = alignof(ListedEntry);
  static_assert(alignof(ListChunk) >= kAlign && sizeof(ListChunk) % kAlign == 0,
                "entries are aligned in their chunk");
  static_assert(sizeof(ListedEntry) + platform::kPathSize +
                        sizeof(platform::DirectoryId) <=
                    kListChunkSize,
                "an entry fits a chunk");
  bool directory = (found.attributes & platform::kAttributeDirectory) != 0;
  size_t bytes = sizeof(ListedEntry) + nameLength + 1 +
                 (directory ? sizeof(platform::DirectoryId) : 0);
  auto size = static_cast<uint32_t>((bytes + kAlign - 1) & ~(kAlign - 1));
  ListChunk* chunk = list->last;
  if (chunk == nullptr || kListChunkSize - chunk->used < size) {
    chunk = TakeChunk();
    if (chunk == nullptr) return false;
    chunk->next = nullptr;
    chunk->used = 0;
    if (list->last != nullptr) {
      list->last->next = chunk;
    } else {
      list->first = chunk;
    }
    list->last = chunk;
    ++list->chunks;
  }
  auto* entry = reinterpret_cast<ListedEntry*>(
      reinterpret_cast<uint8_t*>(chunk + 1) + chunk->used);
  entry->attributes = found.attributes;
  entry->sizeLow = found.sizeLow;
  entry->lastWriteTime = found.lastWriteTime;
  entry->creationTime = found.creationTime;
  entry->lastAccessTime = found.lastAccessTime;
  entry->ahead = nullptr;
  entry->size = static_cast<uint16_t>(size);
  entry->nameLength = static_cast<uint16_t>(nameLength);
  memcpy(entry + 1, name, nameLength + 1);
  if (directory) {
    memcpy(reinterpret_cast<char*>(entry + 1) + nameLength + 1, &found.id,
           sizeof found.id);
  }
  chunk->used += size;
  ++list->entries;
  return true;
}

// What a search that failed met.
ListRead SearchFailure() {
  switch (platform::SearchError()) {
    case platform::kErrorTooManyOpenFiles: return ListRead::kNoDescriptors;
    case platform::kErrorOutOfMemory: return ListRead::kNoMemory;
    default: return ListRead::kUnreadable;
  }
}

}  // namespace

ListRead ReadDirectoryList(const char* pattern,
                           const platform::ExpectedDirectory* expected,
                           DirectoryList* list) {
  platform::FindEntry found;
  platform::FindHandle* search = platform::FindFirst(pattern, &found, expected);
  if (search == nullptr) return SearchFailure();
  ListRead read = ListRead::kRead;
  do {
    size_t nameLength;
    const char* name = EntryName(found, &nameLength);
    // Skips "." and "..", which the search reports too, and every other
    // name that begins with a dot.
    if (name[0] == '.') continue;
    if (!Append(list, name, nameLength, found)) {
      read = ListRead::kNoMemory;
      break;
    }
  } while (platform::FindNext(search, &found));
  // The search ends where the directory does, or where it cannot be read
  // further, which ends it too; a want of descriptors or memory fails it.
  if (read == ListRead::kRead && SearchFailure() != ListRead::kUnreadable) {
    read = SearchFailure();
  }
  platform::FindEnd(search);
  if (read != ListRead::kRead) ReleaseDirectoryList(list);
  return read;
}

void ReleaseDirectoryList(DirectoryList* list) {
  if (list->first != nullptr) {
    std::lock_guard<std::mutex> guard(gPoolLock);
    list->last->next = gPool;
    gPool = list->first;
  }
  *list = DirectoryList();
}

void ReleaseListPool() {
  std::lock_guard<std::mutex> guard(gPoolLock);
  while (gPool != nullptr) {
    ListChunk* chunk = gPool;
    gPool = chunk->next;
    memory::Release(chunk);
  }
}
