#include "vxi11/CVxi11IoCompletionWaiter.h"

#include "vxi11/CVxi11EventDispatcherGate.h"
#include "vxi11/CVxi11LinkOperationGuard.h"
#include "vxi11/Vxi11Status.h"

CVxi11IoCompletionWaiter::CVxi11IoCompletionWaiter() {
  mutex_.Init();
  semaphore_.Init(0, 1);
}

CVxi11IoCompletionWaiter::~CVxi11IoCompletionWaiter() {
  semaphore_.Destroy();
  mutex_.Destroy();
}

void CVxi11IoCompletionWaiter::Wait(std::uint32_t lid, std::int32_t code, CVxi11LinkOperationGuard* guard,
                                    std::uint32_t* status) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  if (enabled_ == 0) {
    mutex_.Unlock();
    *status = kVxi11StatusAborted;
    return;
  }
  waiting_lid_ = lid;
  expected_ = code;
  signalled_ = 0;
  aborted_ = 0;
  mutex_.Unlock();

  // The engine may have to suspend the transport to deliver: give the token up while waiting.
  if (guard->gate_passed_ != 0) {
    guard->gate_->Leave();
    guard->gate_passed_ = 0;
  }
  std::uint32_t wait_status = 0;
  const bool woken = semaphore_.Wait(guard->Recompute(), &wait_status, guard);
  guard->Recompute();

  std::uint32_t pass_status = kStatusSuccess;
  guard->gate_->Pass(lid, guard->Remaining(), &pass_status, guard);
  if (pass_status == kStatusSuccess) guard->gate_passed_ = 1;

  mutex_.Lock(&ignored);
  waiting_lid_ = 0;
  expected_ = 0;
  if (woken) {
    if (pass_status != kStatusSuccess) {
      *status = pass_status;
    } else {
      *status = (enabled_ == 0 || aborted_ != 0) ? kVxi11StatusAborted : kStatusSuccess;
    }
  } else if (signalled_ != 0) {
    // The completion came just after the time-out: take its post back (or withdraw it).
    if (gate_ == nullptr || !gate_->CancelPost(&semaphore_)) {
      std::uint32_t try_status = 0;
      semaphore_.Wait(0, &try_status);
    }
    if (aborted_ != 0 || enabled_ == 0) {
      *status = kVxi11StatusAborted;
    } else {
      *status = pass_status;
    }
  } else {
    *status = wait_status;  // timed out, or cancelled
  }
  mutex_.Unlock();
}

bool CVxi11IoCompletionWaiter::Complete(std::int32_t code) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  bool woken = false;
  if (enabled_ != 0 && waiting_lid_ != 0 && expected_ == code) {
    signalled_ = 1;
    waiting_lid_ = 0;
    expected_ = 0;
    if (gate_ != nullptr) {
      gate_->PostWhenFree(&semaphore_);
    } else {
      semaphore_.Post();
    }
    woken = true;
  }
  mutex_.Unlock();
  return woken;
}

void CVxi11IoCompletionWaiter::Abort(std::uint32_t lid) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  if (enabled_ != 0 && waiting_lid_ != 0 && waiting_lid_ == lid) {
    aborted_ = 1;
    signalled_ = 1;
    waiting_lid_ = 0;
    expected_ = 0;
    semaphore_.Post();
  } else if (enabled_ != 0 && signalled_ != 0 && aborted_ == 0 && gate_ != nullptr && gate_->CancelPost(&semaphore_)) {
    // Completed but not yet woken (the engine still runs): the abort wakes it now.
    aborted_ = 1;
    semaphore_.Post();
  }
  mutex_.Unlock();
}

void CVxi11IoCompletionWaiter::Enable() {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  enabled_ = 1;
  waiting_lid_ = 0;
  expected_ = 0;
  signalled_ = 0;
  aborted_ = 0;
  if (gate_ != nullptr) gate_->CancelPost(&semaphore_);
  std::uint32_t try_status = 0;
  semaphore_.Wait(0, &try_status);
  mutex_.Unlock();
}

void CVxi11IoCompletionWaiter::Disable() {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  enabled_ = 0;
  if (waiting_lid_ != 0 || (gate_ != nullptr && gate_->CancelPost(&semaphore_))) {
    waiting_lid_ = 0;
    expected_ = 0;
    semaphore_.Post();
  }
  mutex_.Unlock();
}
