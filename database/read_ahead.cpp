#include "database/read_ahead.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "support/memory.h"

namespace {

using platform::kPathSize;

// Lists read ahead and not yet taken, and queued tasks, are held to this
// many bytes: a thousand directories of twenty entries ahead, little beside
// the records the run holds.  Less starves the workers: with 128 KiB a
// worker spent a third of a run waiting for the walk to take its lists, and
// the walk read a third of the directories itself.  Workers that found it
// spent wait until the walk has taken a quarter of it, rather than wake for
// every list it takes.
constexpr size_t kBudget = 2 * 1024 * 1024;
constexpr size_t kResume = kBudget - kBudget / 4;

enum class TaskState {
  kQueued,   // waiting in the queue
  kReading,  // a thread reads it
  kRead,     // its list is ready
  kLeft,     // not read: the walk reads it itself
  kDropped,  // the walk does not want it; its reader frees it
};

}  // namespace

struct AheadTask {
  // Neighbours in the queue while kQueued, in the list of finished tasks
  // while kRead or kLeft.
  AheadTask* newer;
  AheadTask* older;
  ListedEntry* owner;  // the entry whose `ahead` this is
  TaskState state;
  DirectoryList list;
  platform::ExpectedDirectory expected;
  size_t length;
  char pattern[kPathSize];  // `directory\*.*`
};

namespace {

// Everything below is guarded by gLock.
std::mutex gLock;
std::condition_variable gWorkerWake;
std::condition_variable gWalkWake;
AheadTask* gNewest = nullptr;    // the queue's top: the walk's next wants
AheadTask* gFinished = nullptr;  // kRead and kLeft, not yet taken
size_t gCharged = 0;             // bytes held against kBudget
bool gStopping = false;
bool gBudgetSpent = false;
bool gPaused = false;          // no worker starts a read
unsigned gWorkersReading = 0;  // workers with a directory open
// Workers that may read at once while the walk's thread runs: one processor
// fewer than there are, as the walk's thread keeps one busy.  Every record
// passes through it, so it must not wait for a processor behind workers that
// only run further ahead: on two processors, two workers reading beside it
// made a warm walk a fifth slower than one did.  While it waits, one more
// may.  When reads wait on the disk rather than on a processor (an entry
// takes some 2 us to read warm, 16 us cold), every worker may: a cold walk
// goes as fast as the disk serves reads side by side, a tenth faster with
// two workers than with one.
unsigned gReadingLimit = 1;
// The mean time the last reads took an entry, weighing each read 1/16
// (nanoseconds).  Per entry, as a warm directory of a few hundred names
// takes longer than a cold one of ten.
uint32_t gEntryNanos = 0;
constexpr uint32_t kSlowEntry = 6000;
// Workers that wait for the walk's own reads to turn slow before they start.
unsigned gWaitingWorkers = 0;
// What wakes them is how long the walk's own reads wait off the processor.
// On one processor a worker gains only while the walk waits (for the disk,
// the network); reads slow on the processor, as every warm read under Wine
// is and a cold one in a virtual machine largely is, leave it nothing to
// gain and cost it a switch between threads a directory.  The walk's time
// is taken in blocks of kBlockDirectories directories, both clocks read
// once a block (the thread's processor time is a system call): a block
// waited when it spent a quarter of its time or more off the processor.
// Warm, one block in twelve does (the moments another program has the
// processor); cold, seven in ten.  Half of the last kWindowBlocks blocks
// mark a walk worth reading ahead.  Counted, not weighed, so that one long
// wait cannot tip it.
constexpr unsigned kBlockDirectories = 16;
constexpr unsigned kWindowBlocks = 16;
constexpr unsigned kWaitedBlocksToStart = kWindowBlocks / 2;
uint32_t gWaitedBlocks = 0;  // one bit a block, the newest lowest
unsigned gWaitedCount = 0;   // bits set in gWaitedBlocks
unsigned gBlockDirectories = 0;
uint64_t gBlockStart = 0;
uint64_t gBlockBusyStart = 0;
uint64_t (*gClock)() = nullptr;
uint64_t (*gBusyClock)() = nullptr;

// The clocks that reads are timed by, in nanoseconds: the steady clock and
// the calling thread's processor time, unless a test set others.
uint64_t ReadAheadNow() {
  if (gClock != nullptr) return gClock();
  // A steady clock never goes back: the count is not negative.
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

uint64_t ReadAheadBusyNow() {
  if (gBusyClock != nullptr) return gBusyClock();
  uint64_t nanos = 0;
  platform::ThreadProcessorTime(&nanos);
  return nanos;
}

// A directory's open and reads cost about as much as this many entries.
constexpr uint32_t kDirectoryAsEntries = 4;
bool gWalkWaiting = false;
unsigned gWorkersWaiting = 0;
unsigned gWorkers = 0;
unsigned gWorkersWorking = 0;  // started and not yet past Work's end
platform::Thread* gThreads[kMaxReadAheadWorkers];
// The walk's thread, and whether it reads a queued directory in
// ReadAheadTake: only the walk gives way, and not from there.
std::thread::id gWalkThread;
bool gWalkReading = false;

// Tasks made for one list's subdirectories, first subdirectory newest.
struct Batch {
  AheadTask* newest = nullptr;
  AheadTask* oldest = nullptr;
  size_t bytes = 0;
};

size_t ListBytes(const DirectoryList& list) {
  return list.chunks * (sizeof(ListChunk) + kListChunkSize);
}

// Takes `task` out of the list that `*head` begins: the queue or the
// finished tasks.
void Unlink(AheadTask** head, AheadTask* task) {
  if (task->newer != nullptr) {
    task->newer->older = task->older;
  } else {
    *head = task->older;
  }
  if (task->older != nullptr) task->older->newer = task->newer;
}

void Finish(AheadTask* task, TaskState state) {
  task->state = state;
  task->newer = nullptr;
  task->older = gFinished;
  if (gFinished != nullptr) gFinished->newer = task;
  gFinished = task;
}

unsigned FreeReadingSlots() {
  unsigned limit = gEntryNanos > kSlowEntry
                       ? kMaxReadAheadWorkers
                       : gReadingLimit + (gWalkWaiting ? 1 : 0);
  return gWorkersReading < limit ? limit - gWorkersReading : 0;
}

void PushBatch(const Batch& batch) {
  if (batch.newest == nullptr) return;
  batch.oldest->older = gNewest;
  if (gNewest != nullptr) gNewest->newer = batch.oldest;
  gNewest = batch.newest;
  gCharged += batch.bytes;
  if (gBudgetSpent) return;
  // Wakes only workers that will find a slot: one woken for none would only
  // go back to sleep.
  unsigned wake = FreeReadingSlots();
  if (batch.newest == batch.oldest && wake > 1) wake = 1;
  if (wake > gWorkersWaiting) wake = gWorkersWaiting;
  for (unsigned i = 0; i < wake; ++i) gWorkerWake.notify_one();
}

void Uncharge(size_t bytes) {
  gCharged -= bytes;
  if (gBudgetSpent && gCharged < kResume) {
    gBudgetSpent = false;
    gWorkerWake.notify_all();
  }
}

// Tasks take their memory where every other allocation of the walk does, so
// that tests can fail it.
AheadTask* NewTask() {
  void* memory = memory::Allocate(sizeof(AheadTask));
  return memory != nullptr ? new (memory) AheadTask : nullptr;
}

void DeleteTask(AheadTask* task) {
  task->~AheadTask();
  memory::Release(task);
}

void FreeTask(AheadTask* task) {
  Uncharge(sizeof(AheadTask));
  DeleteTask(task);
}

// Frees a batch that was never queued.
void FreeBatch(const Batch& batch) {
  for (AheadTask* task = batch.newest; task != nullptr;) {
    AheadTask* older = task->older;
    task->owner->ahead = nullptr;
    DeleteTask(task);
    task = older;
  }
}

// Makes a task for each subdirectory of `list` that the walk will likely
// enter: not a link (whether a link is entered depends on the path the walk
// is on) and with a search pattern that fits.  A task that cannot be had is
// left out: the walk then reads that directory itself.  On the walk's
// thread (`walk`) it stops once the workers gave way.
Batch MakeBatch(const char* directory, size_t length, DirectoryList* list,
                bool walk) {
  Batch batch;
  ListCursor cursor = FirstEntry(*list);
  while (ListedEntry* entry = NextEntry(&cursor)) {
    if (walk && gWorkers == 0) break;
    if ((entry->attributes & platform::kAttributeDirectory) == 0 ||
        (entry->attributes & platform::kAttributeReparsePoint) != 0 ||
        !PatternFits(length + 1 + entry->nameLength)) {
      continue;
    }
    AheadTask* task = NewTask();
    if (task == nullptr) break;
    task->newer = batch.oldest;
    task->older = nullptr;
    task->owner = entry;
    task->state = TaskState::kQueued;
    task->expected = {entry->Identity(), false};
    task->length = length + 1 + entry->nameLength;
    memcpy(task->pattern, directory, length);
    task->pattern[length] = '\\';
    memcpy(task->pattern + length + 1, entry->Name(), entry->nameLength);
    memcpy(task->pattern + task->length, "\\*.*", 5);
    if (batch.oldest != nullptr) {
      batch.oldest->older = task;
    } else {
      batch.newest = task;
    }
    batch.oldest = task;
    batch.bytes += sizeof(AheadTask);
    entry->ahead = task;
  }
  return batch;
}

// Folds a read of `entries` entries that took `took` into the mean.  A read
// counts at most a few times the threshold, so that one slow read (a page
// fault, a moment without a processor) cannot tip the mean alone.
void NoteReadTime(uint64_t nanos, uint32_t entries) {
  constexpr uint64_t kLongest = 4 * kSlowEntry;
  uint64_t perEntry = nanos / (entries + kDirectoryAsEntries);
  uint32_t sample =
      static_cast<uint32_t>(perEntry < kLongest ? perEntry : kLongest);
  gEntryNanos = gEntryNanos - gEntryNanos / 16 + sample / 16;
}

// Reads a task taken from the queue, without the lock; then, with it,
// publishes the list and queues its subdirectories, or frees all when the
// walk dropped the task meanwhile.
void ReadTask(AheadTask* task, std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  uint64_t started = ReadAheadNow();
  ListRead read =
      ReadDirectoryList(task->pattern, &task->expected, &task->list);
  uint64_t took = ReadAheadNow() - started;
  Batch batch;
  if (read == ListRead::kRead) {
    batch = MakeBatch(task->pattern, task->length, &task->list, false);
  }
  lock.lock();
  NoteReadTime(took, task->list.entries);
  if (task->state == TaskState::kDropped) {
    FreeBatch(batch);
    ReleaseDirectoryList(&task->list);
    FreeTask(task);
    return;
  }
  if (read == ListRead::kRead) {
    Finish(task, TaskState::kRead);
    gCharged += ListBytes(task->list);
    PushBatch(batch);
  } else {
    // Out of descriptors or memory, or unreadable: the walk reads it as the
    // serial walk would and finds out which.
    Finish(task, TaskState::kLeft);
  }
  if (gWalkWaiting) gWalkWake.notify_one();
}

AheadTask* TakeNewest() {
  AheadTask* task = gNewest;
  Unlink(&gNewest, task);
  task->state = TaskState::kReading;
  return task;
}

void Work(void*) {
  std::unique_lock<std::mutex> lock(gLock);
  for (;;) {
    for (;;) {
      if (gCharged >= kBudget) gBudgetSpent = true;
      if (gStopping || (gNewest != nullptr && !gBudgetSpent && !gPaused &&
                        FreeReadingSlots() != 0)) {
        break;
      }
      ++gWorkersWaiting;
      gWorkerWake.wait(lock);
      --gWorkersWaiting;
    }
    if (gStopping) break;
    ++gWorkersReading;
    ReadTask(TakeNewest(), lock);
    --gWorkersReading;
    if (gPaused && gWorkersReading == 0) gWalkWake.notify_one();
  }
  // The search's spare handle goes before the walk is told: past this the
  // thread allocates nothing, and what it holds is freed as it ends.
  platform::EndSearches();
  --gWorkersWorking;
  gWalkWake.notify_one();
}

void DropLocked(AheadTask* task) {
  if (task == nullptr) return;
  switch (task->state) {
    case TaskState::kQueued:
      Unlink(&gNewest, task);
      FreeTask(task);
      return;
    case TaskState::kReading: task->state = TaskState::kDropped; return;
    case TaskState::kRead:
      Unlink(&gFinished, task);
      for (ListCursor cursor = FirstEntry(task->list);
           ListedEntry* entry = NextEntry(&cursor);) {
        DropLocked(entry->ahead);
      }
      Uncharge(ListBytes(task->list));
      ReleaseDirectoryList(&task->list);
      FreeTask(task);
      return;
    case TaskState::kLeft:
      Unlink(&gFinished, task);
      FreeTask(task);
      return;
    case TaskState::kDropped: return;
  }
}

void StopWorkers() {
  memory::SetReclaimer(nullptr);
  {
    std::lock_guard<std::mutex> guard(gLock);
    gStopping = true;
  }
  gWorkerWake.notify_all();
  {
    // A stack given back while other workers still read would go to their
    // lists rather than to the walk.
    std::unique_lock<std::mutex> lock(gLock);
    while (gWorkersWorking != 0) gWalkWake.wait(lock);
  }
  for (unsigned i = 0; i < gWorkers; ++i) platform::JoinThread(gThreads[i]);
  gWorkers = 0;
}

// Frees every task, and the list of every one read, leaving the walk no
// read-ahead to take: it reads each directory itself from here on.  Only
// with no worker left.
void FreeAllTasks() {
  // Each task's entry lies in a list the walk holds or in a read task's
  // list, which all stay until every entry has let go of its task.
  for (AheadTask* head : {gNewest, gFinished}) {
    for (AheadTask* task = head; task != nullptr; task = task->older) {
      task->owner->ahead = nullptr;
    }
  }
  for (AheadTask* head : {gNewest, gFinished}) {
    while (head != nullptr) {
      AheadTask* task = head;
      head = task->older;
      if (task->state == TaskState::kRead) ReleaseDirectoryList(&task->list);
      DeleteTask(task);
    }
  }
  gNewest = nullptr;
  gFinished = nullptr;
  gCharged = 0;
  gBudgetSpent = false;
  gPaused = false;
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
  if (std::this_thread::get_id() != gWalkThread || gWalkReading ||
      gWorkers == 0) {
    return false;
  }
  StopWorkers();
  FreeAllTasks();
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
  // No worker ends before it is stopped, under the lock.
  gWorkersWorking = gWorkers;
  if (gWorkers != 0) memory::SetReclaimer(GiveWay);
}

}  // namespace

unsigned ReadAheadStart(unsigned workers, WorkersStart start) {
  if (workers > kMaxReadAheadWorkers) workers = kMaxReadAheadWorkers;
  unsigned processors = platform::ProcessorCount();
  gReadingLimit = processors > 1 ? processors - 1 : 1;
  gEntryNanos = 0;
  gStopping = false;
  gWalkThread = std::this_thread::get_id();
  gWorkers = 0;
  gWaitingWorkers = 0;
  if (start == WorkersStart::kWhenReadsSlow) {
    uint64_t busy;
    if (gBusyClock == nullptr && !platform::ThreadProcessorTime(&busy)) {
      return 0;  // no read can be seen to wait
    }
    gWaitedBlocks = 0;
    gWaitedCount = 0;
    gBlockDirectories = 0;
    gBlockStart = ReadAheadNow();
    gBlockBusyStart = ReadAheadBusyNow();
    gWaitingWorkers = workers;
  } else {
    StartWorkers(workers);
  }
  return gWorkers;
}

bool ReadAheadWaitsForSlowReads() { return gWaitingWorkers != 0; }

// Only the walk's thread notes its reads, and no worker runs yet: the block
// needs no lock.
void ReadAheadNoteWalkRead() {
  if (gWaitingWorkers == 0) return;
  if (++gBlockDirectories < kBlockDirectories) return;
  gBlockDirectories = 0;
  uint64_t now = ReadAheadNow();
  uint64_t busyNow = ReadAheadBusyNow();
  uint64_t took = now - gBlockStart;
  uint64_t busy = busyNow - gBlockBusyStart;
  gBlockStart = now;
  gBlockBusyStart = busyNow;
  constexpr uint32_t kOldest = uint32_t{1} << (kWindowBlocks - 1);
  if ((gWaitedBlocks & kOldest) != 0) --gWaitedCount;
  gWaitedBlocks = (gWaitedBlocks & (kOldest - 1)) << 1;
  if (took > busy && (took - busy) * 4 >= took) {
    gWaitedBlocks |= 1;
    ++gWaitedCount;
  }
  if (gWaitedCount < kWaitedBlocksToStart) return;
  unsigned workers = gWaitingWorkers;
  gWaitingWorkers = 0;
  StartWorkers(workers);
}

void SetReadAheadClocks(uint64_t (*wall)(), uint64_t (*busy)()) {
  gClock = wall;
  gBusyClock = busy;
}

void ReadAheadStop() {
  gWaitingWorkers = 0;
  memory::SetReclaimer(nullptr);
  if (gWorkers == 0) return;
  StopWorkers();
  // The walk took or dropped every task; nothing is left to free.
}

bool ReadAheadRunning() { return gWorkers != 0; }

void ReadAheadQueue(const char* directory, size_t length, DirectoryList* list) {
  if (gWorkers == 0) return;
  Batch batch = MakeBatch(directory, length, list, true);
  // A task's memory was had only once the workers gave way: no one will
  // read the batch.
  if (gWorkers == 0) {
    FreeBatch(batch);
    return;
  }
  std::lock_guard<std::mutex> guard(gLock);
  PushBatch(batch);
}

bool ReadAheadPause() {
  if (gWorkers == 0) return false;
  std::unique_lock<std::mutex> lock(gLock);
  gPaused = true;
  while (gWorkersReading != 0) {
    gWalkWaiting = true;
    gWalkWake.wait(lock);
    gWalkWaiting = false;
  }
  return true;
}

void ReadAheadResume() {
  {
    std::lock_guard<std::mutex> guard(gLock);
    gPaused = false;
  }
  gWorkerWake.notify_all();
}

bool ReadAheadTake(AheadTask* task, DirectoryList* list) {
  std::unique_lock<std::mutex> lock(gLock);
  for (;;) {
    switch (task->state) {
      case TaskState::kQueued:
        // No worker has begun it: the walk reads it now rather than wait.
        Unlink(&gNewest, task);
        FreeTask(task);
        return false;
      case TaskState::kRead:
        Unlink(&gFinished, task);
        *list = task->list;
        Uncharge(ListBytes(task->list));
        FreeTask(task);
        return true;
      case TaskState::kLeft:
        Unlink(&gFinished, task);
        FreeTask(task);
        return false;
      case TaskState::kReading:
      case TaskState::kDropped:
        // A worker reads it: read the next queued directory meanwhile, or
        // wait when there is none or the budget is spent.
        if (gNewest != nullptr && !gBudgetSpent && gCharged < kBudget &&
            !gPaused) {
          gWalkReading = true;
          ReadTask(TakeNewest(), lock);
          gWalkReading = false;
        } else {
          gWalkWaiting = true;
          // Its processor is free meanwhile: a worker kept back may read.
          if (gNewest != nullptr && gWorkersWaiting != 0) {
            gWorkerWake.notify_one();
          }
          gWalkWake.wait(lock);
          gWalkWaiting = false;
        }
        break;
    }
  }
}

void ReadAheadDrop(AheadTask* task) {
  if (task == nullptr) return;
  std::lock_guard<std::mutex> guard(gLock);
  DropLocked(task);
}
