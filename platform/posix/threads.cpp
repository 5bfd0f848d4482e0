// Threads of the walk's workers: pthreads on stacks of their own.
//
// An address-space limit (`ulimit -v`) counts every mapping, reserved or
// touched alike.  The default stack is the stack limit, 8 MiB, for a worker
// that needs a few kilobytes; glibc keeps up to 40 MiB of the stacks of
// joined threads for later threads; and each thread that allocates may get
// an arena of its own, a 64 MiB reservation that lives as long as the
// process.  Under such a limit that is the room the walk's records needed.
// So each worker runs on a stack mapped here and unmapped when it is
// joined, and under a limit all threads share one heap.
#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "platform/platform.h"

namespace platform {

struct Thread {
  pthread_t id;
  void* stack;
  void (*run)(void* argument);
  void* argument;
};

namespace {

// The guard page included.  The sanitizers' frames are several times the
// plain build's, which takes a few kilobytes; ThreadSanitizer also keeps
// some 900 KiB of its own at the stack's top, and refuses a smaller stack.
#if defined(__SANITIZE_THREAD__)
constexpr size_t kStackSize = 2 * 1024 * 1024;
#else
constexpr size_t kStackSize = 256 * 1024;
#endif

void* Run(void* thread) {
  auto* self = static_cast<Thread*>(thread);
  self->run(self->argument);
  return nullptr;
}

// Under a limit the heap also gives back what is freed at its top at once,
// and grows by what is asked rather than 128 KiB beyond: what the workers
// took and freed is the walk's again.
void LeanHeapWhenLimited() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_TOP_PAD, 0);
    mallopt(M_TRIM_THRESHOLD, 0);
  }
}

}  // namespace

Thread* StartThread(void (*run)(void* argument), void* argument) {
  LeanHeapWhenLimited();
  auto* thread = new (std::nothrow) Thread{{}, nullptr, run, argument};
  if (thread == nullptr) return nullptr;
  thread->stack = mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (thread->stack == MAP_FAILED) {
    delete thread;
    return nullptr;
  }
  // A stack of the caller's own gets no guard page from glibc: an overflow
  // faults here rather than writing over whatever lies below.
  long page = sysconf(_SC_PAGESIZE);
  if (page > 0) mprotect(thread->stack, static_cast<size_t>(page), PROT_NONE);
  pthread_attr_t attributes;
  bool started = false;
  if (pthread_attr_init(&attributes) == 0) {
    started =
        pthread_attr_setstack(&attributes, thread->stack, kStackSize) == 0 &&
        pthread_create(&thread->id, &attributes, Run, thread) == 0;
    pthread_attr_destroy(&attributes);
  }
  if (!started) {
    munmap(thread->stack, kStackSize);
    delete thread;
    return nullptr;
  }
  return thread;
}

void JoinThread(Thread* thread) {
  pthread_join(thread->id, nullptr);
  munmap(thread->stack, kStackSize);
  delete thread;
}

bool ThreadProcessorTime(uint64_t* nanos) {
  timespec now;
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) return false;
  *nanos = static_cast<uint64_t>(now.tv_sec) * 1000000000u +
           static_cast<uint64_t>(now.tv_nsec);
  return true;
}

}  // namespace platform
