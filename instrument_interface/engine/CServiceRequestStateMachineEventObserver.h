// CServiceRequestStateMachineEventObserver: the wire side of the service-request machine, implemented
// by the physical interface. The machine calls it from the engine's operations and the transport's
// status-read entry points (see CServiceRequestStateMachine.h).
#pragma once

#include <cstdint>

class CServiceRequestStateMachineEventObserver {
 public:
  virtual ~CServiceRequestStateMachineEventObserver() = default;
  virtual void AssertServiceRequest(std::uint32_t* status) = 0;
  virtual void WithdrawServiceRequest(std::uint32_t* status) = 0;
  virtual void ReportStatusByte(std::uint8_t status_byte, std::uint32_t* status) = 0;
};
