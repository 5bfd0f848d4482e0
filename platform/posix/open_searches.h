// A directory search as FindFirst keeps it, and the searches each thread
// has open (open_searches.cpp): search.cpp and open_searches.cpp alone
// include this.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace platform {

struct FindHandle {
  int directory;  // -1 while parked
  size_t next;    // the next record in `buffer`
  size_t end;     // the bytes the last getdents64 gave
  // The searches this thread has open, newest first, by their directory's
  // path in the Windows form (`X:\dir`).
  FindHandle* older;
  // The directory searched, to know it again when it is opened once more.
  dev_t device;
  ino_t inode;
  off_t position;  // while parked: where getdents64 goes on
  size_t pathLength;
  char path[kPathSize];
  alignas(8) char buffer[32768];
};

namespace posix {

// Adds `search` to this thread's open searches, as the newest; takes it out.
void Enlist(FindHandle* search);
void Unlist(FindHandle* search);

// Opens the directory `path` (`length` characters, Windows form) relative
// to this thread's open search of its parent, when there is one, else by
// its native path.  Out of descriptors, it parks this thread's searches but
// `except`, oldest first, until the open succeeds.  -1 with *error set (a
// Win32 code) when the directory cannot be opened.
int OpenDirectory(const char* path, size_t length, int flags,
                  const FindHandle* except, uint32_t* error);

// Opens a parked search's directory again where it left off.  False when it
// cannot: out of descriptors (*error says so, and it may be tried again),
// or the directory is gone or another now, which ends the search as a
// removed directory would.
bool Reopen(FindHandle* search, uint32_t* error);

}  // namespace posix
}  // namespace platform
