#include "vxi11/CVxi11Semaphore.h"

#include <chrono>

#include "engine/EngineContract.h"
#include "vxi11/Vxi11Status.h"

namespace {
constexpr int kSpinMicroseconds = 30;
}  // namespace

void CVxi11Semaphore::Init(std::int32_t initial_count, std::int32_t maximum) {
  std::lock_guard<std::mutex> hold(mutex_);
  maximum_ = maximum < 1 ? 1 : maximum;
  count_ = initial_count < 0 ? 0 : (initial_count > maximum_ ? maximum_ : initial_count);
}

bool CVxi11Semaphore::Wait(std::uint32_t timeout_ms, std::uint32_t* status, CVxi11WaitCancel* cancel) {
  if (timeout_ms != 0) {
    // Most waits of a query end within microseconds (the engine answers at once): look a few times
    // before going to sleep, which saves the wake-up's latency.
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(kSpinMicroseconds);
    do {
      {
        std::lock_guard<std::mutex> hold(mutex_);
        if (count_ > 0) {
          --count_;
          if (status != nullptr) *status = kStatusSuccess;
          return true;
        }
      }
      std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < until);
  }
  std::unique_lock<std::mutex> hold(mutex_);
  const auto posted = [&] { return count_ > 0; };
  bool taken = false;
  bool cancelled = false;
  if (cancel == nullptr) {
    if (timeout_ms == kVxi11WaitForever) {
      posted_.wait(hold, posted);
      taken = true;
    } else {
      taken = posted_.wait_for(hold, std::chrono::milliseconds(timeout_ms), posted);
    }
  } else {
    // In slices: between two, the operation may have been cancelled (its client went, an abort).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      auto slice = std::chrono::milliseconds(kVxi11WaitSliceMs);
      if (timeout_ms != kVxi11WaitForever) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
          taken = posted();
          break;
        }
        if (left < slice)
          slice = std::chrono::duration_cast<std::chrono::milliseconds>(left) + std::chrono::milliseconds(1);
      }
      if (posted_.wait_for(hold, slice, posted)) {
        taken = true;
        break;
      }
      hold.unlock();
      cancelled = cancel->Cancelled();
      hold.lock();
      if (cancelled) {
        taken = posted();  // a post that came meanwhile still counts
        break;
      }
    }
  }
  if (taken) --count_;
  if (status != nullptr) {
    *status = taken ? kStatusSuccess : (cancelled ? kVxi11StatusAborted : kVxi11StatusTimedOut);
  }
  return taken;
}

void CVxi11Semaphore::Post() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (count_ >= maximum_) EngineContractViolation("CVxi11Semaphore::Post", "a post past the maximum count");
  ++count_;
  posted_.notify_one();
}
