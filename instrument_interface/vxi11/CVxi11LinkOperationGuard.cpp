#include "vxi11/CVxi11LinkOperationGuard.h"

#include <chrono>

#include "engine/EngineContract.h"
#include "vxi11/CVxi11EventDispatcherGate.h"
#include "vxi11/CVxi11LinkQueue.h"
#include "vxi11/CVxi11LockManager.h"
#include "vxi11/CVxi11MessageExchange.h"
#include "vxi11/CVxi11PhysicalInterface.h"
#include "vxi11/Vxi11Status.h"

namespace {

// The waits of this file are bounded by a monotonic clock: the time a link operation spends blocked
// counts against its io_timeout.
std::uint64_t NowMicroseconds() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

}  // namespace

std::uint32_t CVxi11LinkOperationGuard::Recompute() {
  if (remaining_ms_ == 0 || remaining_ms_ == kVxi11WaitForever) return remaining_ms_;
  const std::uint64_t now = NowMicroseconds();
  const std::uint64_t elapsed_ms = (now - last_us_) / 1000;
  // Keep the fraction of a millisecond not yet counted.
  last_us_ += elapsed_ms * 1000;
  remaining_ms_ = elapsed_ms >= remaining_ms_ ? 0 : remaining_ms_ - static_cast<std::uint32_t>(elapsed_ms);
  return remaining_ms_;
}

void CVxi11LinkOperationGuard::Register(CVxi11PhysicalInterface* physical_interface, std::uint32_t lid) {
  if (registered_ != 0) EngineContractViolation("CVxi11LinkOperationGuard::Register", "a guard registered twice");
  interface_ = physical_interface;
  exchange_ = physical_interface->Exchange();
  lid_ = lid;
  queue_ = physical_interface->Queue();
  gate_ = physical_interface->Gate();
  remaining_ms_ = 0;
  last_us_ = NowMicroseconds();
  queued_ = 0;
  gate_passed_ = 0;
  if (lid != 0) exchange_->BeginOperation(lid);
  registered_ = 1;
}

void CVxi11LinkOperationGuard::StartClock(std::uint32_t io_timeout) {
  remaining_ms_ = io_timeout;
  last_us_ = NowMicroseconds();
}

void CVxi11LinkOperationGuard::Begin(CVxi11PhysicalInterface* physical_interface, const Vxi11LinkCall& call,
                                     std::uint32_t* status) {
  const std::uint32_t lid = call.lid;
  Register(physical_interface, lid);
  queue_->Enqueue(lid, status);
  if (*status != kStatusSuccess) return;
  queued_ = 1;

  // The lock check: waits while another link holds the device lock (device_lock); it borrows the lock
  // only then, and gives it back once the operation stands in its place in the queue.
  CVxi11LockManager* locks = physical_interface->Locks();
  const bool borrowed = locks->Check(lid, call.waitlock ? call.lock_timeout : 0, status, this);
  if (*status != kStatusSuccess) return;
  queue_->Promote(lid);
  if (borrowed) locks->Unlock(lid);
  StartClock(call.io_timeout);
}

void CVxi11LinkOperationGuard::TakeTurn(std::uint32_t* status) {
  if (registered_ == 0)
    EngineContractViolation("CVxi11LinkOperationGuard::TakeTurn", "a turn of an unregistered guard");
  if (gate_passed_ != 0) {
    *status = kStatusSuccess;
    return;
  }
  if (queued_ == 0) {
    queue_->Enqueue(lid_, status);
    if (*status != kStatusSuccess) return;
    queued_ = 1;
    queue_->Promote(lid_);
  }
  queue_->WaitTurn(lid_, Recompute(), status, this);
  if (*status != kStatusSuccess) return;
  if (!interface_->IsEnabled()) {
    *status = kStatusInterfaceNotEnabled;
    return;
  }
  gate_->Pass(lid_, Recompute(), status, this);
  if (*status == kStatusSuccess) gate_passed_ = 1;
}

void CVxi11LinkOperationGuard::LeaveTurn() {
  if (gate_passed_ != 0) {
    gate_->Leave();
    gate_passed_ = 0;
  }
  if (queued_ != 0) {
    queue_->Dequeue(lid_);
    queued_ = 0;
  }
}

bool CVxi11LinkOperationGuard::Cancelled() { return registered_ != 0 && exchange_->Cancelled(lid_); }

void CVxi11LinkOperationGuard::End() {
  LeaveTurn();
  if (registered_ != 0) {
    if (lid_ != 0) exchange_->EndOperation(lid_);
    registered_ = 0;
  }
}
