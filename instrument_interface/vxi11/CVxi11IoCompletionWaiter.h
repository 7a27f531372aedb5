#pragma once

#include <cstdint>

#include "vxi11/CVxi11Mutex.h"
#include "vxi11/CVxi11Semaphore.h"

class CVxi11EventDispatcherGate;
class CVxi11LinkOperationGuard;

// Completion codes the engine side posts to the waiting link operation.
constexpr std::int32_t kVxi11CompletionClearDone = 1;
constexpr std::int32_t kVxi11CompletionReceiveWindow = 2;
constexpr std::int32_t kVxi11CompletionSendWindow = 3;
constexpr std::int32_t kVxi11CompletionStatusByte = 4;

// Where the running link operation waits, bounded by its remaining I/O time, for one completion code
// the engine posts.
class CVxi11IoCompletionWaiter {
 public:
  CVxi11IoCompletionWaiter();
  ~CVxi11IoCompletionWaiter();
  CVxi11IoCompletionWaiter(const CVxi11IoCompletionWaiter&) = delete;
  CVxi11IoCompletionWaiter& operator=(const CVxi11IoCompletionWaiter&) = delete;

  bool IsFailed() const { return mutex_.IsFailed() || semaphore_.IsFailed(); }
  // Leaves the gate (when the guard passed it), waits for `code` within the guard's remaining I/O time
  // and passes the gate again. kVxi11StatusTimedOut timed out, kVxi11StatusAborted aborted, cancelled or disabled.
  void Wait(std::uint32_t lid, std::int32_t code, CVxi11LinkOperationGuard* guard, std::uint32_t* status);
  // True when an operation waited for `code` and was woken; otherwise the completion is dropped.
  // While the engine has the link side's events suspended, the waiter is woken when the gate lets it
  // through (no wake-up only to wait at the gate).
  bool Complete(std::int32_t code);
  void SetGate(CVxi11EventDispatcherGate* gate) { gate_ = gate; }
  void Abort(std::uint32_t lid);
  void Enable();
  void Disable();

 private:
  CVxi11Mutex mutex_;
  CVxi11Semaphore semaphore_;
  CVxi11EventDispatcherGate* gate_ = nullptr;
  std::uint32_t waiting_lid_ = 0;
  std::int32_t expected_ = 0;
  std::uint8_t enabled_ = 0;
  std::uint8_t signalled_ = 0;
  std::uint8_t aborted_ = 0;
};
