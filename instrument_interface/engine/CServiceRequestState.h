// CServiceRequestState: one state of the service-request machine (CServiceRequestStateMachine.h). Every
// event does nothing unless the state overrides it; a state acts through the machine it belongs to.
#pragma once

#include <cstdint>

class CServiceRequestStateMachine;

class CServiceRequestState {
 public:
  explicit CServiceRequestState(CServiceRequestStateMachine* machine) : machine_(machine) {}
  virtual ~CServiceRequestState() = default;
  virtual void Reset(std::uint32_t*) {}
  virtual void Assert(std::uint32_t*) {}
  virtual void Withdraw(std::uint32_t*) {}
  virtual void StatusReadBegin(std::uint32_t*) {}
  virtual void StatusReadEnd(std::uint32_t*) {}

 protected:
  CServiceRequestStateMachine* machine_;
};
