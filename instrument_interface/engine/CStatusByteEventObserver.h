// CStatusByteEventObserver: waits for a status byte. The service-request machine implements it; the
// status-byte machine answers it with the byte a host reads (CStatusByteStateMachine.h).
#pragma once

#include <cstdint>

class CStatusByteEventObserver {
 public:
  virtual ~CStatusByteEventObserver() = default;
  virtual void StatusByteReady(std::uint8_t status_byte) = 0;
};
