// Base of every thread of the instrument-interface layer.
//
// The kernel thread ("DO-Vovuri", priority 15) is created suspended with the object. Start resumes it
// at the given priority and returns once the body has said whether it can run: every Run first sets
// the state (1 running, 2 cannot run), then calls SignalStarted, then works. The body runs holding the
// thread mutex, so Join (lock and unlock it) returns when Run has returned.
//
// An owner ends a running thread by setting the state to 3, waking the body's blocking call (for a
// socket thread: shutting the socket down) and joining; only then does it close what the body used and
// destroy the object. A derived class whose Run uses its own members joins in its own destructor; the
// base destructor joins as well, so a kernel thread is never deleted while its body runs.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/COSSemaphore.h"
#include "platform/kernel.h"

class COSThread {
 public:
  static constexpr std::int32_t kStateCreated = 0;
  static constexpr std::int32_t kStateRunning = 1;
  static constexpr std::int32_t kStateCannotRun = 2;
  static constexpr std::int32_t kStateStopRequested = 3;
  static constexpr cyg_ucount32 kStackSize = 12000;

  COSThread();
  virtual ~COSThread();
  COSThread(const COSThread&) = delete;
  COSThread& operator=(const COSThread&) = delete;

  // True when the derived object could not be constructed.
  virtual bool IsFailed() = 0;
  // Status 0 when the body reported state 1, else 8 (also for a second Start).
  virtual void Start(cyg_priority_t priority, std::uint32_t* status);
  // Returns once Run has returned, or at once when the body never started or when called from the
  // thread itself.
  virtual void Join();

  std::int32_t GetState() const { return state_.load(); }
  void SetState(std::int32_t value) { state_.store(value); }
  cyg_handle_t Handle() const { return handle_; }
  static cyg_handle_t CurrentThreadId() { return cyg_thread_self(); }

 protected:
  virtual void Run() = 0;
  // Called by Run, once, while Start waits.
  void SignalStarted();

 private:
  static void ThreadEntry(cyg_addrword_t data);

  std::atomic<std::int32_t> state_{kStateCreated};
  COSSemaphore* start_signal_ = nullptr;
  cyg_thread thread_;
  cyg_handle_t handle_ = 0;
  cyg_mutex_t thread_mutex_;
  std::atomic<bool> started_{false};
  unsigned char stack_[kStackSize];
};
