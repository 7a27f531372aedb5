// CStatusByteStateMachineEventObserver: told when the application must supply a status byte. The
// physical interface implements it; the status-byte machine calls it from a status read
// (CStatusByteStateMachine.h).
#pragma once

#include <cstdint>

class CStatusByteStateMachineEventObserver {
 public:
  virtual ~CStatusByteStateMachineEventObserver() = default;
  virtual void OnStatusByteNeeded(std::uint32_t* status) = 0;
};
