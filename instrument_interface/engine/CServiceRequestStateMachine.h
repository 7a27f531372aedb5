// The service-request machine of one physical interface (IEEE 488.1/488.2 service request as seen
// through a transport): asserts and withdraws the request on the wire when the application requests or
// withdraws service, supplies the RQS bit (0x40) of every status byte a host reads, and clears the
// request once a host has read a status byte with RQS set.
//
// States: Idle, Active (service requested), SerialPollActive (a status read in progress), Wait (service
// requested during a status read), one class each (CServiceRequest...State). Every transition sets the
// next state before it acts on the wire or asks for the status byte, because those calls may come
// straight back into the machine (a transport that serves a status read synchronously). No lock of its
// own (see CStatusByteStateMachine).
#pragma once

#include <cstdint>

#include "engine/CServiceRequestStateMachineEventObserver.h"
#include "engine/CStatusByteStateMachine.h"

class CServiceRequestState;

class CServiceRequestStateMachine : public CStatusByteEventObserver {
 public:
  enum StateId { kIdle, kActive, kSerialPollActive, kWait };

  // kStatusOutOfMemory when a state could not be made (the machine is then unusable).
  CServiceRequestStateMachine(CServiceRequestStateMachineEventObserver* observer,
                              CStatusByteStateMachine* status_byte_machine, std::uint32_t* status);
  ~CServiceRequestStateMachine() override;
  CServiceRequestStateMachine(const CServiceRequestStateMachine&) = delete;
  CServiceRequestStateMachine& operator=(const CServiceRequestStateMachine&) = delete;

  // Events, each handed to the current state.
  void Reset(std::uint32_t* status);
  void Assert(std::uint32_t* status);
  void Withdraw(std::uint32_t* status);
  void StatusReadBegin(std::uint32_t* status);
  void StatusReadEnd(std::uint32_t* status);

  // The status byte for the host: bit 6 from RQS.
  void StatusByteReady(std::uint8_t status_byte) override;

  StateId GetStateId() const;
  bool IsRqs() const { return rqs_ != 0; }

  // --- used by the states ---
  void EnterIdle() {
    current_ = idle_;
    rqs_ = 0;
  }
  void EnterActive() {
    current_ = active_;
    rqs_ = 1;
  }
  void EnterSerialPollActive() { current_ = serial_poll_active_; }
  void EnterWait() { current_ = wait_; }
  void SetRqs(bool rqs) { rqs_ = rqs ? 1 : 0; }
  void AssertOnWire(std::uint32_t* status);
  void WithdrawOnWire(std::uint32_t* status);
  void RequestStatusByte(std::uint32_t* status);
  void CancelStatusByteRequest(std::uint32_t* status);

 private:
  CServiceRequestStateMachineEventObserver* observer_;
  CStatusByteStateMachine* status_byte_machine_;
  CServiceRequestState* current_ = nullptr;
  CServiceRequestState* idle_ = nullptr;
  CServiceRequestState* active_ = nullptr;
  CServiceRequestState* serial_poll_active_ = nullptr;
  CServiceRequestState* wait_ = nullptr;
  std::uint8_t rqs_ = 0;
};
