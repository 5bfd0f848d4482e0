// One directory's entries, read whole before the walk looks at them: the
// names the walk may record or enter, each with its attributes, times and
// size, back to back.  A list is read by the walk itself or by a read-ahead
// worker; reading one touches nothing but the platform's search, the memory
// seam and the chunk pool, so any thread may read one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

// A read-ahead of a subdirectory (database/read_ahead.h).
struct AheadTask;

struct ListedEntry {
  uint32_t attributes;
  uint32_t sizeLow;
  platform::FileTime lastWriteTime;
  platform::FileTime creationTime;
  platform::FileTime lastAccessTime;
  // The read-ahead of this subdirectory, or null.
  AheadTask* ahead;
  uint16_t size;  // bytes from this entry to the next
  uint16_t nameLength;
  // The name and its NUL follow; after them, for a directory, its identity
  // as the search saw it, which its own search is to find again.

  const char* Name() const { return reinterpret_cast<const char*>(this + 1); }
  platform::DirectoryId Identity() const {
    platform::DirectoryId id;
    memcpy(&id, Name() + nameLength + 1, sizeof id);
    return id;
  }
};

// Entries lie in chunks of a fixed size, taken from a pool that the walk's
// threads share: a list never moves or grows by copying, and the memory of
// lists taken and released is used again rather than returned.
constexpr uint32_t kListChunkSize = 2048;

struct ListChunk {
  ListChunk* next;
  uint32_t used;  // bytes of entries after this header
};

struct DirectoryList {
  ListChunk* first = nullptr;
  ListChunk* last = nullptr;
  uint32_t chunks = 0;
  uint32_t entries = 0;
};

// True when the search pattern (`\*.*` added) of a directory whose path has
// `length` characters fits a path buffer: only such a directory is searched.
constexpr bool PatternFits(size_t length) {
  return length + 4 < platform::kPathSize;
}

// A place in a list; NextEntry moves it on.
struct ListCursor {
  ListChunk* chunk;
  uint32_t at;
};

enum class ListRead { kRead, kUnreadable, kNoDescriptors, kNoMemory };

// Reads the directory searched by `pattern` (`directory\*.*`), which is to be
// `expected` (null: whatever is there), into `list`, which is empty.  Names
// beginning with `.` are left out, as the walk never records or enters them.
// kUnreadable when the directory cannot be searched (the list stays empty);
// kNoDescriptors when no descriptor was left to search it with, and
// kNoMemory when no memory was, or when the list cannot grow (the list is
// released either way).  Any thread may read a list.
ListRead ReadDirectoryList(const char* pattern,
                           const platform::ExpectedDirectory* expected,
                           DirectoryList* list);

// Gives the list's chunks back to the pool; the list is empty afterwards.
void ReleaseDirectoryList(DirectoryList* list);

// Frees the pool's chunks.  Only when no thread reads or holds a list.
void ReleaseListPool();

inline ListCursor FirstEntry(const DirectoryList& list) {
  return {list.first, 0};
}

// The entry at `cursor`, moving it on; null at the list's end.
inline ListedEntry* NextEntry(ListCursor* cursor) {
  while (cursor->chunk != nullptr && cursor->at == cursor->chunk->used) {
    cursor->chunk = cursor->chunk->next;
    cursor->at = 0;
  }
  if (cursor->chunk == nullptr) return nullptr;
  auto* entry = reinterpret_cast<ListedEntry*>(
      reinterpret_cast<uint8_t*>(cursor->chunk + 1) + cursor->at);
  cursor->at += entry->size;
  return entry;
}
