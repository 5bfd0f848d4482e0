// The read-ahead's workers: their threads' start and stop, the start that
// waits for the walk's reads to wait, and giving way when the walk's own
// allocation fails.
#include <thread>

#include "database/read_ahead.h"
#include "database/read_ahead_internal.h"
#include "support/memory.h"

namespace {

// All of it is the walk thread's: only it starts and stops workers.
unsigned gWorkers = 0;
platform::Thread* gThreads[kMaxReadAheadWorkers];
// Workers that wait for the walk's own reads to wait before they start.
unsigned gWaitingWorkers = 0;
// The walk's thread: only the walk gives way.
std::thread::id gWalkThread;

void Work(void*) {
  ServeQueue();
  // The search's spare handle goes before the walk is told: past this the
  // thread allocates nothing, and what it holds is freed as it ends.
  platform::EndSearches();
  LeaveQueue();
}

void StopWorkers() {
  memory::SetReclaimer(nullptr);
  // A stack given back while other workers still read would go to their
  // lists rather than to the walk.
  CloseQueue(gWorkers);
  for (unsigned i = 0; i < gWorkers; ++i) platform::JoinThread(gThreads[i]);
  gWorkers = 0;
}

// Once the workers gave way, the lists the walk lets go of would wait in
// the pool for readers that no longer come.
bool FreePooledLists() {
  ReleaseListPool();
  return true;
}

// An allocation of the walk's own failed while workers run: the workers and
// all they hold give way, and the walk goes on alone, as the serial walk
// would.  The walk must not fail for memory that only reading ahead took:
// the workers' stacks, their searches and the lists not yet taken.
bool GiveWay() {
  if (std::this_thread::get_id() != gWalkThread || WalkReadsAhead() ||
      gWorkers == 0) {
    return false;
  }
  StopWorkers();
  EmptyQueue();
  ReleaseListPool();
  memory::SetReclaimer(FreePooledLists);
  return true;
}

void StartWorkers(unsigned workers) {
  while (gWorkers < workers) {
    // The one place a thread starts: a thread the system will not give
    // means one worker fewer, down to none, which is the serial walk.
    platform::Thread* thread = platform::StartThread(Work, nullptr);
    if (thread == nullptr) break;
    gThreads[gWorkers++] = thread;
  }
  if (gWorkers != 0) memory::SetReclaimer(GiveWay);
}

}  // namespace

unsigned ReadAheadStart(unsigned workers, WorkersStart start) {
  if (workers > kMaxReadAheadWorkers) workers = kMaxReadAheadWorkers;
  PaceStart(platform::ProcessorCount());
  OpenQueue();
  gWalkThread = std::this_thread::get_id();
  gWorkers = 0;
  gWaitingWorkers = 0;
  if (start == WorkersStart::kWhenReadsSlow) {
    if (!PaceWatchWalk()) return 0;
    gWaitingWorkers = workers;
  } else {
    StartWorkers(workers);
  }
  return gWorkers;
}

bool ReadAheadWaitsForSlowReads() { return gWaitingWorkers != 0; }

// Only the walk's thread notes its reads, and no worker runs yet.
void ReadAheadNoteWalkRead() {
  if (gWaitingWorkers == 0 || !PaceNoteWalkRead()) return;
  unsigned workers = gWaitingWorkers;
  gWaitingWorkers = 0;
  StartWorkers(workers);
}

void ReadAheadStop() {
  gWaitingWorkers = 0;
  memory::SetReclaimer(nullptr);
  if (gWorkers == 0) return;
  StopWorkers();
  // The walk took or dropped every task; nothing is left to free.
}

bool ReadAheadRunning() { return gWorkers != 0; }

bool ReadAheadPause() {
  if (gWorkers == 0) return false;
  PauseQueue();
  return true;
}

void ReadAheadResume() { ResumeQueue(); }
