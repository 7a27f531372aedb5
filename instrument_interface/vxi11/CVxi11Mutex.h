#pragma once

#include <cstdint>
#include <mutex>

#include "vxi11/Vxi11Status.h"

// The mutex and counting semaphore of the link side. Every query of every connection passes through
// them several times, so they stand on the host's own primitives (no shared kernel lock in between),
// and a timed wait ends on a monotonic clock to the millisecond. Time-outs in ms: 0 only tries,
// kVxi11WaitForever waits without limit.
class CVxi11Mutex {
 public:
  void Init() {}
  void Destroy() {}
  bool IsFailed() const { return false; }
  bool Lock(std::uint32_t* status) {
    mutex_.lock();
    *status = kStatusSuccess;
    return true;
  }
  void Unlock() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};
