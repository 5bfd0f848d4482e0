// One directory's entries, read whole before the walk looks at them: the
// names the walk may record or enter, each with its attributes, times and
// size, back to back in one block.  A list is read by the walk itself or by
// a read-ahead worker; reading one touches nothing but the platform's search
// and the memory seam, so any thread may read one.
#pragma once

#include <cstddef>
#include <cstdint>

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
  // The name and its NUL follow.

  const char* Name() const { return reinterpret_cast<const char*>(this + 1); }
};

struct DirectoryList {
  uint8_t* bytes = nullptr;
  uint32_t used = 0;
  uint32_t capacity = 0;
};

enum class ListRead { kRead, kUnreadable, kNoMemory };

// Reads the directory searched by `pattern` (`directory\*.*`) into `list`,
// which is empty.  Names beginning with `.` are left out, as the walk never
// records or enters them.  kUnreadable when the search cannot be started
// (the list stays empty); kNoMemory when the list cannot grow (the list is
// released).
ListRead ReadDirectoryList(const char* pattern, DirectoryList* list);

void ReleaseDirectoryList(DirectoryList* list);

inline ListedEntry* FirstEntry(const DirectoryList& list) {
  return reinterpret_cast<ListedEntry*>(list.bytes);
}
inline ListedEntry* EndEntry(const DirectoryList& list) {
  return reinterpret_cast<ListedEntry*>(list.bytes + list.used);
}
inline ListedEntry* NextEntry(ListedEntry* entry) {
  return reinterpret_cast<ListedEntry*>(reinterpret_cast<uint8_t*>(entry) +
                                        entry->size);
}
