// CServiceRequestActiveState: the service-request machine's state Active, service requested (RQS set,
// the request on the wire).
// The machine and its transitions: CServiceRequestStateMachine.h.
#pragma once

#include <cstdint>

#include "engine/CServiceRequestState.h"

class CServiceRequestActiveState : public CServiceRequestState {
 public:
  using CServiceRequestState::CServiceRequestState;
  void Reset(std::uint32_t* status) override;
  void Withdraw(std::uint32_t* status) override;
  void StatusReadBegin(std::uint32_t* status) override;
};
