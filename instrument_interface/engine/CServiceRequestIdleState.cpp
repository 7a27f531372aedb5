#include "engine/CServiceRequestIdleState.h"

#include "engine/CServiceRequestStateMachine.h"

void CServiceRequestIdleState::Assert(std::uint32_t* status) {
  machine_->EnterActive();
  machine_->AssertOnWire(status);
}

void CServiceRequestIdleState::StatusReadBegin(std::uint32_t* status) {
  machine_->EnterSerialPollActive();
  machine_->RequestStatusByte(status);
}
