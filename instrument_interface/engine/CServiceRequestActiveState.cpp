#include "engine/CServiceRequestActiveState.h"

#include "engine/CServiceRequestStateMachine.h"

void CServiceRequestActiveState::Reset(std::uint32_t* status) {
  machine_->EnterIdle();
  machine_->WithdrawOnWire(status);
}

void CServiceRequestActiveState::Withdraw(std::uint32_t* status) {
  machine_->EnterIdle();
  machine_->WithdrawOnWire(status);
}

void CServiceRequestActiveState::StatusReadBegin(std::uint32_t* status) {
  // RQS stays 1: the byte of this read carries 0x40.
  machine_->EnterSerialPollActive();
  machine_->WithdrawOnWire(status);
  machine_->RequestStatusByte(status);
}
