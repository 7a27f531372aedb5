#include "usb/controller/CS3C2410BulkInEndpoint.h"

#include "platform/hw_registers.h"
#include "platform/regbus.h"

namespace u = hw::usbd;
using platform::regbus::Read8;
using platform::regbus::Write8;

void CS3C2410BulkInEndpoint::CancelTransfer(std::uint32_t* count, std::uint32_t*) {
  // Called under the service lock, with or without a halt: no service pass loads a packet meanwhile.
  registers_->DisableEndpointInterrupt(number_);
  // A packet still waiting in the FIFO never reached the host: the flush takes it back. Without a
  // halt the host may still take it between the look and the flush; its completion then raises the
  // endpoint's interrupt flag (raised whether or not the interrupt is enabled), and it counts as sent.
  const bool flagged_before = registers_->EndpointInterruptFlag(number_);
  const bool waiting = state_ != 0 && PacketWaiting();
  fifo_->Flush(kind_);
  const bool taken_meanwhile = waiting && !flagged_before && registers_->EndpointInterruptFlag(number_);
  const std::uint32_t not_taken = waiting && !taken_meanwhile ? fifo_->last_packet() : 0;
  fifo_->FinishPacket();  // arms an empty packet
  *count = fifo_->total() - not_taken;
  state_ = 0;
}

void CS3C2410BulkInEndpoint::ReleaseHalt(std::uint32_t* status) {
  if (*status != 0) return;
  // The host saw no STALL when the hold ends before its next IN token (SENT_STALL still clear).
  const bool seen = (registers_->ReadCsr(number_, u::IN_CSR1_REG) & u::kInSentStall) != 0;
  ClearStallSequence(status, seen);
  hold_ = 0;
}

void CS3C2410BulkInEndpoint::ClearStall(std::uint32_t* status) {
  if (*status != 0) return;
  if (hold_ != 0) {
    *status = kUsbStatusEndpointHeld;
    return;
  }
  ClearStallSequence(status);
}
