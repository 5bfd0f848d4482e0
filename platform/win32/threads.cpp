// Threads of the walk's workers.  A 32-bit process has 2 GiB of address
// space, and a thread reserves the executable's default stack (2 MiB with
// mingw-w64) for a worker that needs a few kilobytes.
#include <process.h>
#include <windows.h>

#include <new>

#include "platform/platform.h"

namespace platform {

struct Thread {
  HANDLE handle;
  void (*run)(void* argument);
  void* argument;
};

namespace {

constexpr unsigned kStackSize = 256 * 1024;

unsigned __stdcall Run(void* thread) {
  auto* self = static_cast<Thread*>(thread);
  self->run(self->argument);
  return 0;
}

}  // namespace

Thread* StartThread(void (*run)(void* argument), void* argument) {
  auto* thread = new (std::nothrow) Thread{nullptr, run, argument};
  if (thread == nullptr) return nullptr;
  // _beginthreadex rather than CreateThread: the C runtime sets up what it
  // keeps per thread.
  uintptr_t handle = _beginthreadex(nullptr, kStackSize, Run, thread,
                                    STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (handle == 0) {
    delete thread;
    return nullptr;
  }
  thread->handle = reinterpret_cast<HANDLE>(handle);
  return thread;
}

void JoinThread(Thread* thread) {
  WaitForSingleObject(thread->handle, INFINITE);
  CloseHandle(thread->handle);
  delete thread;
}

// GetThreadTimes counts in clock ticks of 15.6 ms, and QueryThreadCycleTime
// in cycles of a rate it does not tell (Wine has neither finer): none times
// one directory's read.
bool ThreadProcessorTime(uint64_t* /*nanos*/) { return false; }

}  // namespace platform
