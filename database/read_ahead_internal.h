// What the read-ahead's three parts need of each other; nothing outside
// them includes this.  The queue (read_ahead_queue.cpp) holds the tasks and
// lists read ahead, their budget and the one lock; the workers
// (read_ahead_workers.cpp) are the threads, their start, stop and giving
// way; the pace (read_ahead_pace.cpp) says how many read at once and when
// waiting workers start, and keeps the clocks.
#pragma once

#include <cstdint>

// The queue.  OpenQueue before the workers start; each worker serves the
// queue until CloseQueue, then frees what it holds and leaves.
void OpenQueue();
// A worker's life in the queue: takes tasks and reads them, newest first,
// until the queue closes.  Returns with nothing held.
void ServeQueue();
// The worker that called it serves the queue no more: CloseQueue may count
// it gone.
void LeaveQueue();
// Closes the queue and waits until `workers` workers have left it.
void CloseQueue(unsigned workers);
// Frees every task, and the list of every one read, leaving the walk no
// read-ahead to take.  Only once every worker has left.
void EmptyQueue();
// Keeps workers from opening another directory until ResumeQueue, waiting
// until none has one open.
void PauseQueue();
void ResumeQueue();
// Whether the walk's thread is reading a queued directory on the workers'
// behalf (in ReadAheadTake): it must not give way from there.
bool WalkReadsAhead();

// The pace.  PaceStart at each walk's start, before any worker.
void PaceStart(unsigned processors);
// The clock that reads are timed by, in nanoseconds: the steady clock
// unless a test set another.
uint64_t PaceNow();
// Folds a worker's read of `entries` entries that took `nanos` into the
// mean; how many more workers may start a read, `reading` reading now, as
// the mean stands.  Both only with the queue's lock held.
void PaceNoteRead(uint64_t nanos, uint32_t entries);
unsigned PaceFreeSlots(unsigned reading, bool walkWaiting);
// Starts timing the walk's own reads.  False where a read cannot be seen to
// wait (no processor time of a thread).
bool PaceWatchWalk();
// Notes one of the walk's own reads: true once the workers waiting for slow
// reads are to start.  On the walk's thread only.
bool PaceNoteWalkRead();
