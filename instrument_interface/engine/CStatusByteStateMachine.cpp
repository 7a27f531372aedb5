#include "engine/CStatusByteStateMachine.h"

void CStatusByteStateMachine::Answer() {
  // Clear the requester before answering: the answer may start the next read at once.
  CStatusByteEventObserver* requester = requester_;
  requester_ = nullptr;
  if (requester != nullptr) requester->StatusByteReady(status_byte_);
}

void CStatusByteStateMachine::EnableRequest(std::uint32_t* status) {
  if (*status != 0) return;
  request_enabled_ = 1;
}

void CStatusByteStateMachine::DisableRequest(std::uint32_t* status) {
  if (*status != 0) return;
  request_enabled_ = 0;
  Answer();
}

void CStatusByteStateMachine::SetStatusByte(std::uint8_t status_byte, std::uint32_t* status) {
  if (*status != 0) return;
  status_byte_ = static_cast<std::uint8_t>(status_byte & 0xBF);
  if (request_enabled_) Answer();
}

void CStatusByteStateMachine::RequestStatusByte(CStatusByteEventObserver* requester, std::uint32_t* status) {
  if (*status != 0) return;
  if (request_enabled_) {
    requester_ = requester;
    if (observer_ != nullptr) observer_->OnStatusByteNeeded(status);
  } else if (requester != nullptr) {
    requester->StatusByteReady(status_byte_);
  }
}

void CStatusByteStateMachine::CancelRequest(std::uint32_t* status) {
  if (*status != 0) return;
  requester_ = nullptr;
}
