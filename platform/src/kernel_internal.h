// Kernel internals shared by the platform layer's own units (interrupts, select). Not for drivers.
#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/kernel.h"

namespace platform::kernel {

struct ThreadRecord {
  enum class State { kCreated, kRunning, kExited };

  std::string name;
  cyg_priority_t priority = 0;
  void* stack_base = nullptr;
  cyg_ucount32 stack_size = 0;
  cyg_thread_entry_t* entry = nullptr;
  cyg_addrword_t entry_data = 0;
  pthread_t native{};
  bool adopted = false;
  cyg_uint16 id = 0;

  // Guarded by KernelMutex().
  State state = State::kCreated;
  cyg_ucount32 suspend_count = 0;
  bool discard = false;          // deleted before it ever ran
  bool release_pending = false;  // cyg_thread_release: break the current or next wait
  std::condition_variable* waiting_on = nullptr;
  std::condition_variable resumed;
  std::condition_variable exited;
  std::condition_variable delay;
};

// The one mutex guarding all kernel object state.
std::mutex& KernelMutex();

// The calling thread's record; threads the kernel did not create are adopted on first use.
ThreadRecord* Self();

// Gives up the re-entrant kernel lock if the caller holds it, returning the depth held (0 if none).
cyg_ucount32 ReleaseKernelLockForWait();
void RetakeKernelLock(cyg_ucount32 depth);

// The time point of an absolute tick; one beyond the clock's range is the latest time point.
std::chrono::steady_clock::time_point TickToTimePoint(cyg_tick_count_t tick);
// The current tick plus `ticks`, at most the largest tick.
cyg_tick_count_t TicksFromNow(cyg_tick_count_t ticks);

void MarkExited(ThreadRecord* record);

// --- contract checks ---
// Stops the process: "<call>: <what> (thread \"<name>\", id <n>)" on standard error, then abort.
[[noreturn]] void ContractViolation(const char* call, const char* what);
// Marks the calling thread as running an ISR or DSR (set by the interrupt delivery around them).
void SetInterruptContext(bool inside);
// Stops the process when the calling thread runs an ISR or DSR: `call` may block.
void CheckMayBlock(const char* call);

// Waits on `cv` (with KernelMutex held through `lock`) until `ready()` holds, the deadline passes or
// the thread is released. Gives up the kernel lock only when it really has to block. Returns true
// when `ready()` held; the caller then consumes what it waited for, still under KernelMutex.
template <typename Ready>
bool BlockingWait(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Ready ready,
                  const std::chrono::steady_clock::time_point* deadline) {
  if (ready()) return true;
  ThreadRecord* self = Self();
  if (self->release_pending) {
    self->release_pending = false;
    return false;
  }
  if (deadline != nullptr && std::chrono::steady_clock::now() >= *deadline) return false;

  // KernelMutex is held here; that is allowed because it is never held while waiting for the
  // kernel lock, and giving the kernel lock up does not wait.
  const cyg_ucount32 depth = ReleaseKernelLockForWait();
  self->waiting_on = &cv;
  bool ok = true;
  for (;;) {
    if (ready()) break;
    if (self->release_pending) {
      self->release_pending = false;
      ok = false;
      break;
    }
    if (deadline != nullptr) {
      if (cv.wait_until(lock, *deadline) == std::cv_status::timeout) {
        ok = ready();
        break;
      }
    } else {
      cv.wait(lock);
    }
  }
  self->waiting_on = nullptr;
  if (depth != 0) {
    // Take the kernel lock back without holding KernelMutex, then re-check under both.
    lock.unlock();
    RetakeKernelLock(depth);
    lock.lock();
    if (ok && !ready()) {
      // What we waited for was taken meanwhile by another thread: wait again.
      return BlockingWait(lock, cv, ready, deadline);
    }
  }
  return ok;
}

}  // namespace platform::kernel
