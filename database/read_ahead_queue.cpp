// The read-ahead's queue, the tasks read and not yet taken, and their budget
// of memory, all under one lock (read_ahead_internal.h).
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>

#include "database/read_ahead.h"
#include "database/read_ahead_internal.h"
#include "support/memory.h"

namespace {

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
  char pattern[platform::kPathSize];  // `directory\*.*`
};

namespace {

// Everything below is guarded by gLock.
std::mutex gLock;
std::condition_variable gWorkerWake;
std::condition_variable gWalkWake;
AheadTask* gNewest = nullptr;    // the queue's top: the walk's next wants
AheadTask* gFinished = nullptr;  // kRead and kLeft, not yet taken
size_t gCharged = 0;             // bytes held against kBudget
bool gClosing = false;
bool gBudgetSpent = false;
bool gPaused = false;          // no worker starts a read
unsigned gWorkersReading = 0;  // workers with a directory open
bool gWalkWaiting = false;
unsigned gWorkersWaiting = 0;
unsigned gWorkersLeft = 0;  // workers past ServeQueue since OpenQueue
bool gWalkReading = false;  // the walk's own: it reads in ReadAheadTake

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

void PushBatch(const Batch& batch) {
  if (batch.newest == nullptr) return;
  batch.oldest->older = gNewest;
  if (gNewest != nullptr) gNewest->newer = batch.oldest;
  gNewest = batch.newest;
  gCharged += batch.bytes;
  if (gBudgetSpent) return;
  // Wakes only workers that will find a slot: one woken for none would only
  // go back to sleep.
  unsigned wake = PaceFreeSlots(gWorkersReading, gWalkWaiting);
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
// thread (`walk`) it stops once the workers gave way, which only a task's
// allocation can make them do.
Batch MakeBatch(const char* directory, size_t length, DirectoryList* list,
                bool walk) {
  Batch batch;
  ListCursor cursor = FirstEntry(*list);
  while (ListedEntry* entry = NextEntry(&cursor)) {
    if ((entry->attributes & platform::kAttributeDirectory) == 0 ||
        (entry->attributes & platform::kAttributeReparsePoint) != 0 ||
        !PatternFits(length + 1 + entry->nameLength)) {
      continue;
    }
    AheadTask* task = NewTask();
    if (task != nullptr && walk && !ReadAheadRunning()) {
      DeleteTask(task);
      task = nullptr;
    }
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

// Reads a task taken from the queue, without the lock; then, with it,
// publishes the list and queues its subdirectories, or frees all when the
// walk dropped the task meanwhile.
void ReadTask(AheadTask* task, std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  uint64_t started = PaceNow();
  ListRead read =
      ReadDirectoryList(task->pattern, &task->expected, &task->list);
  uint64_t took = PaceNow() - started;
  Batch batch;
  if (read == ListRead::kRead) {
    batch = MakeBatch(task->pattern, task->length, &task->list, false);
  }
  lock.lock();
  PaceNoteRead(took, task->list.entries);
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

void DropLocked(AheadTask* task) {
  if (task == nullptr) return;
  switch (task->state) {
    case TaskState::kQueued:
    case TaskState::kLeft:
      Unlink(task->state == TaskState::kQueued ? &gNewest : &gFinished, task);
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
    case TaskState::kDropped: return;
  }
}

}  // namespace

void OpenQueue() {
  std::lock_guard<std::mutex> guard(gLock);
  gClosing = false;
  gWorkersLeft = 0;
}

void ServeQueue() {
  std::unique_lock<std::mutex> lock(gLock);
  for (;;) {
    for (;;) {
      if (gCharged >= kBudget) gBudgetSpent = true;
      if (gClosing || (gNewest != nullptr && !gBudgetSpent && !gPaused &&
                       PaceFreeSlots(gWorkersReading, gWalkWaiting) != 0)) {
        break;
      }
      ++gWorkersWaiting;
      gWorkerWake.wait(lock);
      --gWorkersWaiting;
    }
    if (gClosing) return;
    ++gWorkersReading;
    ReadTask(TakeNewest(), lock);
    --gWorkersReading;
    if (gPaused && gWorkersReading == 0) gWalkWake.notify_one();
  }
}

void LeaveQueue() {
  std::lock_guard<std::mutex> guard(gLock);
  ++gWorkersLeft;
  gWalkWake.notify_one();
}

void CloseQueue(unsigned workers) {
  {
    std::lock_guard<std::mutex> guard(gLock);
    gClosing = true;
  }
  gWorkerWake.notify_all();
  std::unique_lock<std::mutex> lock(gLock);
  while (gWorkersLeft != workers) gWalkWake.wait(lock);
}

void EmptyQueue() {
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

void PauseQueue() {
  std::unique_lock<std::mutex> lock(gLock);
  gPaused = true;
  while (gWorkersReading != 0) {
    gWalkWaiting = true;
    gWalkWake.wait(lock);
    gWalkWaiting = false;
  }
}

void ResumeQueue() {
  {
    std::lock_guard<std::mutex> guard(gLock);
    gPaused = false;
  }
  gWorkerWake.notify_all();
}

bool WalkReadsAhead() { return gWalkReading; }

void ReadAheadQueue(const char* directory, size_t length, DirectoryList* list) {
  if (!ReadAheadRunning()) return;
  Batch batch = MakeBatch(directory, length, list, true);
  // A task's memory was had only once the workers gave way: no one will
  // read the batch.
  if (!ReadAheadRunning()) {
    FreeBatch(batch);
    return;
  }
  std::lock_guard<std::mutex> guard(gLock);
  PushBatch(batch);
}

bool ReadAheadTake(AheadTask* task, DirectoryList* list) {
  std::unique_lock<std::mutex> lock(gLock);
  for (;;) {
    switch (task->state) {
      case TaskState::kQueued:
      case TaskState::kLeft:
        // No worker has begun it, and the walk reads it now rather than
        // wait; or a worker could not read it.
        Unlink(task->state == TaskState::kQueued ? &gNewest : &gFinished, task);
        FreeTask(task);
        return false;
      case TaskState::kRead:
        Unlink(&gFinished, task);
        *list = task->list;
        Uncharge(ListBytes(task->list));
        FreeTask(task);
        return true;
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
