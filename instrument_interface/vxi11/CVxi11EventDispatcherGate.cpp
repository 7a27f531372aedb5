#include "vxi11/CVxi11EventDispatcherGate.h"

#include <chrono>

#include "engine/EngineContract.h"
#include "vxi11/CVxi11Semaphore.h"
#include "vxi11/Vxi11Status.h"

//
// The token is free when the gate is open, no suspension is outstanding (depth 0) and no link operation
// holds it (busy 0). A link operation takes it in Pass; the engine's suspensions count the depth and
// wait, the first one, until no link operation of another thread holds the token.

CVxi11EventDispatcherGate::CVxi11EventDispatcherGate() { failed_ = 0; }

CVxi11EventDispatcherGate::~CVxi11EventDispatcherGate() = default;

void CVxi11EventDispatcherGate::Pass(std::uint32_t lid, std::uint32_t timeout_ms, std::uint32_t* status,
                                     CVxi11WaitCancel* cancel) {
  std::unique_lock<std::mutex> hold(mutex_);
  if (closed_ != 0) {
    *status = kVxi11StatusAborted;
    return;
  }
  waiting_lid_ = lid;
  abort_pending_ = 0;
  auto free_or_ended = [&] { return closed_ != 0 || abort_pending_ != 0 || (busy_ == 0 && depth_ <= 0); };
  bool cancelled = false;
  if (timeout_ms != 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      auto slice = cancel != nullptr ? std::chrono::milliseconds(kVxi11WaitSliceMs) : std::chrono::milliseconds::max();
      if (timeout_ms != kVxi11WaitForever) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) break;
        const auto left_ms = std::chrono::duration_cast<std::chrono::milliseconds>(left) + std::chrono::milliseconds(1);
        if (left_ms < slice) slice = left_ms;
      }
      if (slice == std::chrono::milliseconds::max()) {
        changed_.wait(hold, free_or_ended);
        break;
      }
      if (changed_.wait_for(hold, slice, free_or_ended)) break;
      if (cancel != nullptr) {
        hold.unlock();
        cancelled = cancel->Cancelled();
        hold.lock();
        if (cancelled) break;
      }
    }
  }
  waiting_lid_ = 0;
  if (closed_ != 0) {
    *status = kVxi11StatusAborted;
  } else if (abort_pending_ != 0) {
    abort_pending_ = 0;
    *status = kVxi11StatusAborted;
  } else if (busy_ != 0 || depth_ > 0) {
    *status = cancelled ? kVxi11StatusAborted : kVxi11StatusTimedOut;
  } else {
    busy_ = 1;
    owner_ = std::this_thread::get_id();
    *status = kStatusSuccess;
  }
}

void CVxi11EventDispatcherGate::Leave() {
  std::lock_guard<std::mutex> hold(mutex_);
  // A leave of an idle gate changes nothing (a reset took the token back meanwhile).
  if (busy_ != 0 && owner_ != std::this_thread::get_id()) {
    EngineContractViolation("CVxi11EventDispatcherGate::Leave", "a leave by a thread that does not hold the token");
  }
  busy_ = 0;
  owner_ = std::thread::id();
  changed_.notify_all();
}

void CVxi11EventDispatcherGate::Suspend() {
  std::unique_lock<std::mutex> hold(mutex_);
  const bool own_operation = busy_ != 0 && owner_ == std::this_thread::get_id();
  if (!own_operation) {
    // Another thread's link operation runs an entry point: wait until it gives the token up.
    changed_.wait(hold, [&] { return closed_ != 0 || busy_ == 0; });
  }
  ++depth_;
}

void CVxi11EventDispatcherGate::Resume() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (depth_ == 0) {
    ++violations_;  // a resume without a suspension changes nothing
  } else {
    --depth_;
    if (depth_ == 0) {
      changed_.notify_all();
      PostPendingLocked();
    }
  }
}

void CVxi11EventDispatcherGate::PostPendingLocked() {
  // Posted with the gate's mutex held, so that CancelPost never misses a post on its way.
  for (int i = 0; i < pending_count_; ++i) pending_[i]->Post();
  pending_count_ = 0;
}

void CVxi11EventDispatcherGate::PostWhenFree(CVxi11Semaphore* semaphore) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (depth_ <= 0 || closed_ != 0) {
    semaphore->Post();
    return;
  }
  for (int i = 0; i < pending_count_; ++i) {
    if (pending_[i] == semaphore) return;
  }
  if (pending_count_ < kMaxPending) {
    pending_[pending_count_++] = semaphore;
  } else {
    semaphore->Post();
  }
}

bool CVxi11EventDispatcherGate::CancelPost(CVxi11Semaphore* semaphore) {
  std::lock_guard<std::mutex> hold(mutex_);
  for (int i = 0; i < pending_count_; ++i) {
    if (pending_[i] != semaphore) continue;
    pending_[i] = pending_[--pending_count_];
    return true;
  }
  return false;
}

void CVxi11EventDispatcherGate::Close() {
  std::lock_guard<std::mutex> hold(mutex_);
  closed_ = 1;
  waiting_lid_ = 0;
  changed_.notify_all();
  PostPendingLocked();
}

void CVxi11EventDispatcherGate::Reset() {
  std::lock_guard<std::mutex> hold(mutex_);
  waiting_lid_ = 0;
  abort_pending_ = 0;
  depth_ = 1;
  busy_ = 0;
  owner_ = std::thread::id();
  closed_ = 0;
  changed_.notify_all();
}

void CVxi11EventDispatcherGate::AbortWait(std::uint32_t lid) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (closed_ == 0 && waiting_lid_ != 0 && waiting_lid_ == lid) {
    abort_pending_ = 1;
    waiting_lid_ = 0;
    changed_.notify_all();
  }
}

std::int32_t CVxi11EventDispatcherGate::Depth() {
  std::lock_guard<std::mutex> hold(mutex_);
  return depth_;
}

bool CVxi11EventDispatcherGate::IsBusy() {
  std::lock_guard<std::mutex> hold(mutex_);
  return busy_ != 0;
}

bool CVxi11EventDispatcherGate::IsClosed() {
  std::lock_guard<std::mutex> hold(mutex_);
  return closed_ != 0;
}

std::int32_t CVxi11EventDispatcherGate::Violations() {
  std::lock_guard<std::mutex> hold(mutex_);
  return violations_;
}
