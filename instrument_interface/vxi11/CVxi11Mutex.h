#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "engine/EngineContract.h"
#include "vxi11/Vxi11Status.h"

// The mutex and counting semaphore of the link side. Every query of every connection passes through
// them several times, so they stand on the host's own primitives (no shared kernel lock in between),
// and a timed wait ends on a monotonic clock to the millisecond. Time-outs in ms: 0 only tries,
// kVxi11WaitForever waits without limit.
//
// Contract checks (in every build, as the kernel's mutexes have them): a lock by the thread that
// already holds the mutex (it is not recursive) and an unlock by a thread that does not hold it stop
// the process with a message naming the call and the thread (EngineContract.h).
class CVxi11Mutex {
 public:
  void Init() {}
  void Destroy() {}
  bool IsFailed() const { return false; }
  bool Lock(std::uint32_t* status) {
    const std::thread::id self = std::this_thread::get_id();
    if (owner_.load(std::memory_order_relaxed) == self) {
      EngineContractViolation("CVxi11Mutex::Lock", "a lock by the thread that already holds the mutex");
    }
    mutex_.lock();
    owner_.store(self, std::memory_order_relaxed);
    *status = kStatusSuccess;
    return true;
  }
  void Unlock() {
    if (owner_.load(std::memory_order_relaxed) != std::this_thread::get_id()) {
      EngineContractViolation("CVxi11Mutex::Unlock", "an unlock by a thread that does not hold the mutex");
    }
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    mutex_.unlock();
  }

 private:
  std::mutex mutex_;
  // The holding thread; read by other threads only to see that it is not theirs.
  std::atomic<std::thread::id> owner_{};
};
