#include "database/directory_list.h"

#include <cstring>
#include <mutex>

#include "database/walk.h"
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
  static_assert(sizeof(ListedEntry) + platform::kPathSize <= kListChunkSize,
                "an entry fits a chunk");
  auto size = static_cast<uint32_t>(
      (sizeof(ListedEntry) + nameLength + 1 + kAlign - 1) & ~(kAlign - 1));
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
  chunk->used += size;
  ++list->entries;
  return true;
}

}  // namespace

ListRead ReadDirectoryList(const char* pattern, DirectoryList* list) {
  platform::FindEntry found;
  platform::FindHandle* search = platform::FindFirst(pattern, &found);
  if (search == nullptr) return ListRead::kUnreadable;
  do {
    size_t nameLength;
    const char* name = EntryName(found, &nameLength);
    // Skips "." and "..", which the search reports too, and every other
    // name that begins with a dot.
    if (name[0] == '.') continue;
    if (!Append(list, name, nameLength, found)) {
      platform::FindEnd(search);
      ReleaseDirectoryList(list);
      return ListRead::kNoMemory;
    }
  } while (platform::FindNext(search, &found));
  platform::FindEnd(search);
  return ListRead::kRead;
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
