// CServiceRequestWaitState: the service-request machine's state Wait, service requested during a status
// read, asserted when the read ends.
// The machine and its transitions: CServiceRequestStateMachine.h.
#pragma once

#include <cstdint>

#include "engine/CServiceRequestState.h"

class CServiceRequestWaitState : public CServiceRequestState {
 public:
  using CServiceRequestState::CServiceRequestState;
  void Reset(std::uint32_t* status) override;
  void Withdraw(std::uint32_t* status) override;
  void StatusReadEnd(std::uint32_t* status) override;
};
