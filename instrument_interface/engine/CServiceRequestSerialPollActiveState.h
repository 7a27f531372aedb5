// CServiceRequestSerialPollActiveState: the service-request machine's state SerialPollActive, a status
// read in progress.
// The machine and its transitions: CServiceRequestStateMachine.h.
#pragma once

#include <cstdint>

#include "engine/CServiceRequestState.h"

class CServiceRequestSerialPollActiveState : public CServiceRequestState {
 public:
  using CServiceRequestState::CServiceRequestState;
  void Reset(std::uint32_t* status) override;
  void Assert(std::uint32_t* status) override;
  void StatusReadEnd(std::uint32_t* status) override;
};
