#include "engine/CServiceRequestStateMachine.h"

#include <new>

#include "engine/CServiceRequestActiveState.h"
#include "engine/CServiceRequestIdleState.h"
#include "engine/CServiceRequestSerialPollActiveState.h"
#include "engine/CServiceRequestWaitState.h"
#include "engine/DoVovuriStatus.h"

CServiceRequestStateMachine::CServiceRequestStateMachine(CServiceRequestStateMachineEventObserver* observer,
                                                         CStatusByteStateMachine* status_byte_machine,
                                                         std::uint32_t* status)
    : observer_(observer), status_byte_machine_(status_byte_machine) {
  idle_ = new (std::nothrow) CServiceRequestIdleState(this);
  active_ = new (std::nothrow) CServiceRequestActiveState(this);
  serial_poll_active_ = new (std::nothrow) CServiceRequestSerialPollActiveState(this);
  wait_ = new (std::nothrow) CServiceRequestWaitState(this);
  if (idle_ == nullptr || active_ == nullptr || serial_poll_active_ == nullptr || wait_ == nullptr) {
    *status = kStatusOutOfMemory;
    return;
  }
  current_ = idle_;
  *status = kStatusSuccess;
}

CServiceRequestStateMachine::~CServiceRequestStateMachine() {
  delete idle_;
  delete active_;
  delete serial_poll_active_;
  delete wait_;
}

void CServiceRequestStateMachine::Reset(std::uint32_t* status) {
  if (current_ != nullptr) current_->Reset(status);
}
void CServiceRequestStateMachine::Assert(std::uint32_t* status) {
  if (current_ != nullptr) current_->Assert(status);
}
void CServiceRequestStateMachine::Withdraw(std::uint32_t* status) {
  if (current_ != nullptr) current_->Withdraw(status);
}
void CServiceRequestStateMachine::StatusReadBegin(std::uint32_t* status) {
  if (current_ != nullptr) current_->StatusReadBegin(status);
}
void CServiceRequestStateMachine::StatusReadEnd(std::uint32_t* status) {
  if (current_ != nullptr) current_->StatusReadEnd(status);
}

void CServiceRequestStateMachine::StatusByteReady(std::uint8_t status_byte) {
  const std::uint8_t reported = rqs_ ? static_cast<std::uint8_t>(status_byte | 0x40) : status_byte;
  std::uint32_t status = kStatusSuccess;
  if (observer_ != nullptr) observer_->ReportStatusByte(reported, &status);
}

CServiceRequestStateMachine::StateId CServiceRequestStateMachine::GetStateId() const {
  if (current_ == active_) return kActive;
  if (current_ == serial_poll_active_) return kSerialPollActive;
  if (current_ == wait_) return kWait;
  return kIdle;
}

void CServiceRequestStateMachine::AssertOnWire(std::uint32_t* status) {
  if (observer_ != nullptr) observer_->AssertServiceRequest(status);
}

void CServiceRequestStateMachine::WithdrawOnWire(std::uint32_t* status) {
  if (observer_ != nullptr) observer_->WithdrawServiceRequest(status);
}

void CServiceRequestStateMachine::RequestStatusByte(std::uint32_t* status) {
  if (status_byte_machine_ != nullptr) status_byte_machine_->RequestStatusByte(this, status);
}

void CServiceRequestStateMachine::CancelStatusByteRequest(std::uint32_t* status) {
  if (status_byte_machine_ != nullptr) status_byte_machine_->CancelRequest(status);
}
