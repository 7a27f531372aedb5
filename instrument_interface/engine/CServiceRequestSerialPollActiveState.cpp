#include "engine/CServiceRequestSerialPollActiveState.h"

#include "engine/CServiceRequestStateMachine.h"

void CServiceRequestSerialPollActiveState::Reset(std::uint32_t* status) {
  machine_->EnterIdle();
  machine_->CancelStatusByteRequest(status);
}

void CServiceRequestSerialPollActiveState::Assert(std::uint32_t*) { machine_->EnterWait(); }

void CServiceRequestSerialPollActiveState::StatusReadEnd(std::uint32_t* status) {
  machine_->EnterIdle();
  machine_->CancelStatusByteRequest(status);
}
