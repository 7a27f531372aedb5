#include "engine/CServiceRequestWaitState.h"

#include "engine/CServiceRequestStateMachine.h"

void CServiceRequestWaitState::Reset(std::uint32_t* status) {
  machine_->EnterIdle();
  machine_->CancelStatusByteRequest(status);
}

void CServiceRequestWaitState::Withdraw(std::uint32_t*) { machine_->EnterSerialPollActive(); }

void CServiceRequestWaitState::StatusReadEnd(std::uint32_t* status) {
  machine_->EnterActive();
  machine_->CancelStatusByteRequest(status);
  machine_->AssertOnWire(status);
}
