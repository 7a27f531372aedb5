#include "usb/controller/CS3C2410InterruptInEndpoint.h"

#include "platform/hw_registers.h"
#include "platform/regbus.h"

namespace u = hw::usbd;
using platform::regbus::Read8;
using platform::regbus::Write8;

void CS3C2410InterruptInEndpoint::SetMaxPacketSize(std::uint16_t size, std::uint32_t speed, std::uint32_t* status) {
  if (*status != 0) return;
  if (speed != kUsbSpeedFull) return;
  if (size == 0 || size > 64) {
    *status = kUsbStatusNotSupported;  // the FIFO holds 64 bytes
    return;
  }
  // Packets never exceed what the endpoint descriptor announces.
  packet_size_ = size;
  fifo_->SetPacketSize(size);
}

void CS3C2410InterruptInEndpoint::SetInterval(std::uint8_t value, std::uint32_t speed, std::uint32_t* status) {
  if (*status != 0) return;
  if (speed == kUsbSpeedFull) interval_ = value;
}

void CS3C2410InterruptInEndpoint::CancelTransfer(std::uint32_t* count, std::uint32_t*) {
  registers_->DisableEndpointInterrupt(number_);
  fifo_->Flush(kind_);
  *count = fifo_->total();
  state_ = 0;
  fifo_->Clear();
}

void CS3C2410InterruptInEndpoint::ReleaseHalt(std::uint32_t* status) {
  if (*status != 0) return;
  hold_ = 0;
}

void CS3C2410InterruptInEndpoint::ClearStall(std::uint32_t* status) {
  if (*status != 0) return;
  ClearStallSequence(status);
}
