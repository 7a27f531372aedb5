#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "vxi11/CVxi11WaitCancel.h"

class CVxi11Semaphore;

// The one token shared by the running link operation (while it calls the engine's entry points) and
// the engine's suspensions of the transport. Suspensions nest: the gate keeps a depth, and the token
// returns to the links only when the depth is back to 0.
class CVxi11EventDispatcherGate {
 public:
  // Created closed and suspended.
  CVxi11EventDispatcherGate();
  virtual ~CVxi11EventDispatcherGate();
  CVxi11EventDispatcherGate(const CVxi11EventDispatcherGate&) = delete;
  CVxi11EventDispatcherGate& operator=(const CVxi11EventDispatcherGate&) = delete;

  bool IsFailed() const { return failed_ != 0; }
  // Link side: takes the token for lid's operation. kVxi11StatusAborted closed, aborted or cancelled,
  // kVxi11StatusTimedOut timed
  // out.
  void Pass(std::uint32_t lid, std::uint32_t timeout_ms, std::uint32_t* status, CVxi11WaitCancel* cancel = nullptr);
  // Link side: gives the token back. A leave by a thread other than the one holding the token stops
  // the process (EngineContract.h).
  void Leave();
  // Engine side. Suspend returns once no link operation of another thread holds the token; a link
  // operation that calls the engine itself suspends without waiting. Suspensions nest.
  void Suspend();
  void Resume();
  // Interface side: Close ends a wait at the gate with kVxi11StatusAborted; Reset opens it suspended once (the
  // engine's first resume hands out the token).
  void Close();
  void Reset();
  // device_abort of lid while it waits at the gate.
  void AbortWait(std::uint32_t lid);
  // Posts semaphore now when no suspension is outstanding, else when the last one ends (or the gate
  // closes). CancelPost withdraws a post not yet made and tells whether there was one.
  void PostWhenFree(CVxi11Semaphore* semaphore);
  bool CancelPost(CVxi11Semaphore* semaphore);

  // Figures for tests.
  std::int32_t Depth();
  bool IsBusy();
  bool IsClosed();
  std::int32_t Violations();  // resumes without a suspension

 private:
  void PostPendingLocked();
  std::mutex mutex_;
  std::condition_variable changed_;
  static constexpr int kMaxPending = 4;
  CVxi11Semaphore* pending_[kMaxPending] = {};
  int pending_count_ = 0;
  std::uint8_t failed_ = 1;
  std::uint32_t waiting_lid_ = 0;
  std::thread::id owner_{};
  std::int32_t depth_ = 1;
  std::int32_t violations_ = 0;
  std::uint8_t abort_pending_ = 0;
  std::uint8_t closed_ = 1;
  std::uint8_t busy_ = 0;
};
