#pragma once

#include <cstdint>

#include "vxi11/CVxi11WaitCancel.h"
#include "vxi11/Vxi11LinkOperations.h"

class CVxi11EventDispatcherGate;
class CVxi11LinkQueue;
class CVxi11MessageExchange;
class CVxi11PhysicalInterface;

// Prologue and epilogue of every I/O link operation, in two parts: Begin registers the operation (from
// then on device_abort, the link's end or its connection's end cancels it), queues it and makes the
// lock check; TakeTurn waits for the operation's turn and the gate, which it holds only while it works
// with the engine (LeaveTurn gives both up, so that an operation that waits for the device to answer
// holds nobody else back). End runs after every outcome (the destructor calls it too).
class CVxi11LinkOperationGuard : public CVxi11WaitCancel {
 public:
  CVxi11LinkOperationGuard() = default;
  ~CVxi11LinkOperationGuard() { End(); }
  CVxi11LinkOperationGuard(const CVxi11LinkOperationGuard&) = delete;
  CVxi11LinkOperationGuard& operator=(const CVxi11LinkOperationGuard&) = delete;

  // Registers the operation, queues it and makes the lock check (waitlock: up to lock_timeout while
  // another link holds the device lock); the remaining I/O time starts at io_timeout afterwards.
  void Begin(CVxi11PhysicalInterface* physical_interface, const Vxi11LinkCall& call, std::uint32_t* status);
  // A guard serves one operation: a second Begin or Register, and a TakeTurn before either, stop the
  // process (EngineContract.h).
  // Registers the operation only (device_lock: its wait for the lock is cancelled like the others). Lid 0:
  // work of the interface itself, which no device_abort reaches.
  void Register(CVxi11PhysicalInterface* physical_interface, std::uint32_t lid);
  // The remaining I/O time starts now at io_timeout (Begin does it after the lock check).
  void StartClock(std::uint32_t io_timeout);
  // The operation's turn in the queue, then the gate, within the remaining I/O time.
  void TakeTurn(std::uint32_t* status);
  void LeaveTurn();
  void End();

  // device_abort of this operation, the link gone, its connection closed, or the interface disabled.
  bool Cancelled() override;
  // Subtracts the time elapsed since the last reading from the remaining I/O time (a monotonic clock;
  // 0 stays 0) and returns what remains.
  std::uint32_t Recompute();
  std::uint32_t Remaining() const { return remaining_ms_; }
  std::uint32_t Lid() const { return lid_; }
  bool GatePassed() const { return gate_passed_ != 0; }

 private:
  friend class CVxi11IoCompletionWaiter;
  CVxi11PhysicalInterface* interface_ = nullptr;
  CVxi11MessageExchange* exchange_ = nullptr;
  std::uint32_t lid_ = 0;
  CVxi11LinkQueue* queue_ = nullptr;
  CVxi11EventDispatcherGate* gate_ = nullptr;
  std::uint32_t remaining_ms_ = 0;
  std::uint64_t last_us_ = 0;
  std::uint8_t registered_ = 0;
  std::uint8_t queued_ = 0;
  std::uint8_t gate_passed_ = 0;
};
