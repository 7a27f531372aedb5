// The status-byte machine of one physical interface: answers a host's read of the status byte either
// by asking the application for a fresh byte (the engine's status-byte request event, when the
// application enabled it) or with the last byte the application set. Bit 6 (RQS) never comes from the
// application; the service-request machine supplies it.
//
// No lock of its own: driven by the engine (device mutex held, transport held back) and by the
// transport's status-read entry points; the transport serves one status read at a time.
#pragma once

#include <cstdint>

#include "engine/CStatusByteEventObserver.h"
#include "engine/CStatusByteStateMachineEventObserver.h"

class CStatusByteStateMachine {
 public:
  explicit CStatusByteStateMachine(CStatusByteStateMachineEventObserver* observer) : observer_(observer) {}

  // Each operation does nothing when *status is already non-zero.
  void EnableRequest(std::uint32_t* status);
  // Also answers a waiting requester with the stored byte.
  void DisableRequest(std::uint32_t* status);
  // Stores the byte without bit 6; answers a waiting requester when requests are enabled.
  void SetStatusByte(std::uint8_t status_byte, std::uint32_t* status);
  // Asks the application (requests enabled) or answers at once with the stored byte.
  void RequestStatusByte(CStatusByteEventObserver* requester, std::uint32_t* status);
  void CancelRequest(std::uint32_t* status);

  bool IsRequestEnabled() const { return request_enabled_ != 0; }
  bool HasRequester() const { return requester_ != nullptr; }
  std::uint8_t StoredStatusByte() const { return status_byte_; }

 private:
  void Answer();

  CStatusByteStateMachineEventObserver* observer_;
  CStatusByteEventObserver* requester_ = nullptr;
  std::uint8_t request_enabled_ = 0;
  std::uint8_t status_byte_ = 0;
};
