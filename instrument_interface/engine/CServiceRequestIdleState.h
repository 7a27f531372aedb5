// CServiceRequestIdleState: the service-request machine's state Idle, no service requested and no
// status read in progress.
// The machine and its transitions: CServiceRequestStateMachine.h.
#pragma once

#include <cstdint>

#include "engine/CServiceRequestState.h"

class CServiceRequestIdleState : public CServiceRequestState {
 public:
  using CServiceRequestState::CServiceRequestState;
  void Assert(std::uint32_t* status) override;
  void StatusReadBegin(std::uint32_t* status) override;
};
