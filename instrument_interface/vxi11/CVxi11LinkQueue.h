#pragma once

#include <cstdint>

#include "vxi11/CVxi11Mutex.h"
#include "vxi11/CVxi11WaitCancel.h"

class CVxi11EventDispatcherGate;
class CVxi11IoCompletionWaiter;
class CVxi11LockManager;

// Link operations of one interface in arrival order; only the head runs. An operation whose lock check
// has passed is promoted past operations still in their lock check.
class CVxi11LinkQueue {
 public:
  CVxi11LinkQueue(CVxi11EventDispatcherGate* gate, CVxi11IoCompletionWaiter* waiter, CVxi11LockManager* locks);
  ~CVxi11LinkQueue();
  CVxi11LinkQueue(const CVxi11LinkQueue&) = delete;
  CVxi11LinkQueue& operator=(const CVxi11LinkQueue&) = delete;

  bool IsFailed() const { return mutex_.IsFailed(); }
  // kVxi11StatusAborted disabled, kStatusOutOfMemory no memory.
  void Enqueue(std::uint32_t lid, std::uint32_t* status);
  // Waits until lid's entry is the head. kVxi11StatusTimedOut timed out, kVxi11StatusAborted aborted, cancelled or
  // disabled. A
  // failed entry stays queued until Dequeue.
  void WaitTurn(std::uint32_t lid, std::uint32_t timeout_ms, std::uint32_t* status, CVxi11WaitCancel* cancel = nullptr);
  void Promote(std::uint32_t lid);
  void Dequeue(std::uint32_t lid);
  // True when the running (head) operation was aborted, or the queue is disabled.
  bool IsAborted();
  // device_abort of one link: ends its wait in the lock check, its turn, the gate or a completion.
  void Abort(std::uint32_t lid);
  void Enable();
  void Disable();
  // Link ids in queue order (for tests and diagnostics); returns how many were written.
  int Snapshot(std::uint32_t* lids, int capacity);

 private:
  struct Entry;
  Entry* Find(std::uint32_t lid);
  void Unlink(Entry* entry);

  CVxi11Mutex mutex_;
  Entry* head_ = nullptr;
  Entry* tail_ = nullptr;
  CVxi11EventDispatcherGate* gate_;
  CVxi11IoCompletionWaiter* waiter_;
  CVxi11LockManager* locks_;
  std::uint8_t enabled_ = 0;
};
