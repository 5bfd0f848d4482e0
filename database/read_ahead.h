// Reading directories ahead of the walk on worker threads.
//
// The walk takes its directories in depth-first order on its own thread and
// decides alone which of them it enters.  Workers only read: whoever reads a
// directory (a worker or the walk) queues its plain subdirectories, and
// workers take the queue's newest first, which is the walk's own order, so
// the lists are ready where the walk will want them.  When the walk comes
// to a subdirectory it takes the list a worker read, reads the directory
// itself when no worker has begun it, and while a worker is still reading
// it reads other queued directories instead of idling.  A list the walk
// does not want is dropped with everything queued below it.
//
// Lists read ahead and not yet taken are held to a budget of memory; a
// worker waits when it is spent.  A worker that cannot read a directory
// (no descriptor or no memory left, or the directory is unreadable) leaves
// it to the walk, which reads it as the serial walk would, so a record is
// never lost or moved.
#pragma once

#include <cstddef>
#include <cstdint>

#include "database/directory_list.h"

// When the read-ahead workers of a walk start.
enum class WorkersStart {
  kAtOnce,
  // Once the walk's own reads of directories turn slow, waiting on the disk
  // rather than on a processor: until then the walk reads alone.  On one
  // processor a worker only costs the walk while reads are quick.
  kWhenReadsSlow,
};

// Workers at most, whatever is asked.
constexpr unsigned kMaxReadAheadWorkers = 8;

// Starts up to `workers` workers (at most kMaxReadAheadWorkers) and returns
// how many started: a thread that cannot be started means fewer.  With none
// the other calls do nothing.  With WorkersStart::kWhenReadsSlow none starts
// yet: ReadAheadNoteWalkRead starts them once the walk's reads wait; where
// the platform cannot tell a read that waits (no processor time of the
// thread), none is started at all.
unsigned ReadAheadStart(unsigned workers, WorkersStart start);

// Whether workers wait for the walk's reads to wait, as
// ReadAheadNoteWalkRead notes them.
bool ReadAheadWaitsForSlowReads();

// Notes that the walk read a directory itself, and starts the workers
// waited for once the walk's last directories waited long enough off the
// processor (for the disk, the network).
void ReadAheadNoteWalkRead();

// The clocks that reads are timed by become `wall` and `busy`, nanoseconds
// of the steady clock and of the calling thread's processor time (null: the
// system's again), so that tests can make reads wait or not at will.
void SetReadAheadClocks(uint64_t (*wall)(), uint64_t (*busy)());

// Drops whatever is still queued and waits for the workers to end.
void ReadAheadStop();

// Whether workers run, between ReadAheadStart and ReadAheadStop.
bool ReadAheadRunning();

// Queues the subdirectories of `list`, the directory `directory` (`length`
// characters) that the walk read itself, for the workers.
void ReadAheadQueue(const char* directory, size_t length, DirectoryList* list);

// The list of the subdirectory behind `task`, which the walk enters: true
// with `list` filled, false when the walk is to read the directory itself.
// `task` is gone either way.
bool ReadAheadTake(AheadTask* task, DirectoryList* list);

// Waits until no worker has a directory open and keeps them from opening
// another until ReadAheadResume: a directory the walk could not open may
// have failed only for the descriptors the workers held.  False, and
// nothing to resume, when there are no workers.
bool ReadAheadPause();
void ReadAheadResume();

// Drops the read-ahead of a subdirectory the walk does not enter, and all
// that was queued below it.  Null does nothing.
void ReadAheadDrop(AheadTask* task);
