#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "vxi11/CVxi11WaitCancel.h"

// The counting semaphore of the link side (see CVxi11Mutex.h for why it stands on the host's own
// primitives).
class CVxi11Semaphore {
 public:
  void Init(std::int32_t initial_count, std::int32_t maximum);
  void Destroy() {}
  bool IsFailed() const { return false; }
  // False with kVxi11StatusTimedOut when the time ran out, with kVxi11StatusAborted when `cancel` said so first.
  bool Wait(std::uint32_t timeout_ms, std::uint32_t* status, CVxi11WaitCancel* cancel = nullptr);
  // A post past the maximum count is a misuse: it stops the process (EngineContract.h).
  void Post();

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::int32_t count_ = 0;
  std::int32_t maximum_ = 1;
};
