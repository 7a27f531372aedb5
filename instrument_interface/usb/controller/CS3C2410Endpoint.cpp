#include "usb/controller/CS3C2410Endpoint.h"

#include "platform/hw_registers.h"
#include "platform/regbus.h"

namespace u = hw::usbd;
using platform::regbus::Read8;
using platform::regbus::Write8;

namespace {

constexpr unsigned kClearStallAttempts = 64;  // bound of the busy wait on SEND_STALL

}  // namespace

bool CS3C2410Endpoint::IsInterruptPending() {
  return registers_->EndpointInterruptFlag(number_) || registers_->soft_pending[number_].load() != 0;
}

void CS3C2410Endpoint::TakeInterrupt() {
  if (registers_->EndpointInterruptFlag(number_) || registers_->soft_pending[number_].load() != 0)
    registers_->ClearEndpointInterrupt(number_);
}

bool CS3C2410Endpoint::SendStallSet() {
  if (registers_->KindOf(number_) == kUsbKindBulkOut)
    return (registers_->ReadCsr(number_, u::OUT_CSR1_REG) & u::kOutSendStall) != 0;
  return (registers_->ReadCsr(number_, u::IN_CSR1_REG) & u::kInSendStall) != 0;
}

void CS3C2410Endpoint::SetSendStall() {
  if (registers_->KindOf(number_) == kUsbKindBulkOut) {
    registers_->ModifyOutCsr(number_, u::kOutSendStall, 0);
  } else {
    registers_->ModifyInCsr(number_, u::kInSendStall, 0);
  }
}

void CS3C2410Endpoint::ClearStallSequence(std::uint32_t* status, bool reset_toggle) {
  const bool out = registers_->KindOf(number_) == kUsbKindBulkOut;
  bool cleared = false;
  for (unsigned i = 0; i < kClearStallAttempts && !cleared; ++i) {
    if (out) {
      registers_->ModifyOutCsr(number_, 0, u::kOutSendStall | u::kOutSentStall);
    } else {
      registers_->ModifyInCsr(number_, 0, u::kInSendStall | u::kInSentStall);
    }
    cleared = !SendStallSet();
  }
  if (!cleared) {
    if (*status == 0) *status = kStatusNotReported;
    return;
  }
  host_halt_ = 0;
  if (!reset_toggle) return;
  if (out) {
    registers_->ModifyOutCsr(number_, u::kOutClrDataToggle, 0);
  } else {
    registers_->ModifyInCsr(number_, u::kInClrDataToggle, 0);
  }
}
