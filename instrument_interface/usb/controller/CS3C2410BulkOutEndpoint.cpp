#include "usb/controller/CS3C2410BulkOutEndpoint.h"

#include <new>

#include "platform/hw_registers.h"
#include "platform/regbus.h"

namespace u = hw::usbd;
using platform::regbus::Read8;
using platform::regbus::Write8;

CS3C2410BulkOutEndpoint::CS3C2410BulkOutEndpoint(std::uint8_t configuration, std::uint8_t interface,
                                                 std::uint8_t alternate, CUsbEndpointEventObserver* observer,
                                                 CS3C2410Registers* registers, CS3C2410Controller* controller,
                                                 std::uint32_t* status)
    : CS3C2410Endpoint(configuration, interface, alternate, 2, kUsbKindBulkOut, observer, registers, controller,
                       status) {
  if (*status != 0) return;
  fifo_ = new (std::nothrow) CS3C2410FifoManager(2, 64, 1, registers);
  if (fifo_ == nullptr) *status = kStatusOutOfMemory;
}

CS3C2410BulkOutEndpoint::~CS3C2410BulkOutEndpoint() { delete fifo_; }

void CS3C2410BulkOutEndpoint::Configure(std::uint32_t* status) {
  if (*status != 0) return;
  registers_->ProgramEndpoint(2, kUsbKindBulkOut, 64);
  registers_->soft_pending[2].store(0);
  registers_->EnableEndpointInterrupt(2);
  host_halt_ = 0;
}

void CS3C2410BulkOutEndpoint::StartRead(CDataBuffer* chain, std::uint32_t* status) {
  if (*status != 0) return;
  if (state_ != 0) {
    *status = kStatusNotReported;  // one read at a time
    return;
  }
  fifo_->Attach(chain);
  state_ = kStateReading;
  registers_->EnableEndpointInterrupt(2);
  // A packet that arrived before the read was armed raises no new interrupt (a zero-length one
  // included: it shows only in OUT_PKT_RDY).
  if (registers_->OutFifoCount(2) != 0 || (registers_->ReadCsr(2, u::OUT_CSR1_REG) & u::kOutPktRdy) != 0)
    registers_->soft_pending[2].store(1);
}

void CS3C2410BulkOutEndpoint::Receive() {
  // Nothing from the host yet (a zero-length packet also sets OUT_PKT_RDY, with an empty FIFO).
  if ((registers_->ReadCsr(2, u::OUT_CSR1_REG) & u::kOutPktRdy) == 0) return;
  if (fifo_->remaining() > 0) fifo_->ReadPacket();
  if (registers_->OutFifoCount(2) == 0) {
    fifo_->FinishPacket();
    // A short packet ends the host's transfer: the read completes with what it has.
    if (fifo_->remaining() == 0 || fifo_->is_short()) state_ = kStateReadFull;
  } else {
    // The chain is full; the rest of the packet goes to the next read.
    fifo_->AddReadToTotal();
    state_ = kStateReadFull;
  }
}

void CS3C2410BulkOutEndpoint::Complete(std::uint32_t* status) {
  if (registers_->OutFifoCount(2) == 0) registers_->DisableEndpointInterrupt(2);
  state_ = 0;
  const std::uint32_t count = fifo_->total();
  fifo_->Clear();
  if (observer_ != nullptr) observer_->OnReadComplete(kUsbKindBulkOut, kUsbResultCompleted, count, status);
}

void CS3C2410BulkOutEndpoint::Service(std::uint32_t* status) {
  TakeInterrupt();
  if (state_ == 0) return;  // the packet waits in the FIFO; the host is held off with NAK
  registers_->soft_pending[2].store(0);
  if ((registers_->ReadCsr(2, u::OUT_CSR1_REG) & u::kOutSentStall) != 0)
    registers_->ModifyOutCsr(2, 0, u::kOutSentStall);
  if ((state_ & kDone) == 0) Receive();
  if ((state_ & kDone) != 0 && *status == 0) Complete(status);
}

void CS3C2410BulkOutEndpoint::CancelTransfer(std::uint32_t* count, std::uint32_t*) {
  if (state_ == 0) return;
  if ((state_ & kActive) != 0) Receive();
  registers_->DisableEndpointInterrupt(2);
  fifo_->Flush(kind_);
  *count = fifo_->total();
  fifo_->Clear();
  state_ = 0;
}

void CS3C2410BulkOutEndpoint::FlushFifo(std::uint32_t* status) {
  if (*status != 0) return;
  fifo_->Flush(kind_);
}

void CS3C2410BulkOutEndpoint::Halt(std::uint32_t* status) {
  if (*status != 0) return;
  SetSendStall();
  hold_ = 1;
}

void CS3C2410BulkOutEndpoint::Stall(std::uint32_t* status) {
  if (*status != 0) return;
  SetSendStall();
  host_halt_ = 1;
}

void CS3C2410BulkOutEndpoint::ClearStall(std::uint32_t* status) {
  if (*status != 0) return;
  if (hold_ != 0) {
    *status = kUsbStatusEndpointHeld;
    return;
  }
  ClearStallSequence(status);
}

void CS3C2410BulkOutEndpoint::Deconfigure(std::uint32_t* status) {
  SetSendStall();
  if (state_ != 0) {
    if ((state_ & kActive) != 0) Receive();
    registers_->DisableEndpointInterrupt(2);
    fifo_->Flush(kind_);
    const std::uint32_t count = fifo_->total();
    fifo_->Clear();
    state_ = 0;
    if (*status == 0 && observer_ != nullptr)
      observer_->OnReadComplete(kUsbKindBulkOut, kUsbResultAborted, count, status);
  }
  hold_ = 0;
  registers_->DisableEndpointInterrupt(2);
  registers_->soft_pending[2].store(0);
}
