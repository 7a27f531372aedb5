#include "usb/controller/CS3C2410InEndpoint.h"

#include <new>

#include "platform/hw_registers.h"
#include "platform/regbus.h"

namespace u = hw::usbd;
using platform::regbus::Read8;
using platform::regbus::Write8;

CS3C2410InEndpoint::CS3C2410InEndpoint(std::uint8_t configuration, std::uint8_t interface, std::uint8_t alternate,
                                       unsigned number, std::int32_t kind, CUsbEndpointEventObserver* observer,
                                       CS3C2410Registers* registers, CS3C2410Controller* controller,
                                       std::uint32_t* status)
    : CS3C2410Endpoint(configuration, interface, alternate, number, kind, observer, registers, controller, status) {
  if (*status != 0) return;
  fifo_ = new (std::nothrow) CS3C2410FifoManager(number, 64, 0, registers);
  if (fifo_ == nullptr) *status = kStatusOutOfMemory;
}

CS3C2410InEndpoint::~CS3C2410InEndpoint() { delete fifo_; }

void CS3C2410InEndpoint::Configure(std::uint32_t* status) {
  if (*status != 0) return;
  registers_->ProgramEndpoint(number_, kind_, 64);
  host_halt_ = 0;
}

bool CS3C2410InEndpoint::PacketWaiting() { return (registers_->ReadCsr(number_, u::IN_CSR1_REG) & u::kInPktRdy) != 0; }

void CS3C2410InEndpoint::LoadPacket() {
  fifo_->WritePacket();
  fifo_->FinishPacket();
  if (fifo_->last()) state_ = kStateWriteLast;
}

void CS3C2410InEndpoint::StartWrite(CDataBuffer* chain, std::uint32_t* status) {
  if (*status != 0) return;
  if (state_ != 0) {
    *status = kStatusNotReported;  // one transfer at a time
    return;
  }
  fifo_->Attach(chain);
  // An interrupt transfer is one notification of a known length: it ends with its last byte, also
  // when that fills a packet, instead of adding a zero-length packet the host never asked for.
  if (kind_ == kUsbKindInterruptIn) fifo_->SetLengthLimit(fifo_->remaining());
  state_ = kStateWriting;
  registers_->EnableEndpointInterrupt(number_);
  // The previous transfer's last packet (or its zero-length packet) may still wait for the host:
  // the first packet is then loaded by the service pass that follows the host taking it.
  if (!PacketWaiting()) LoadPacket();
}

void CS3C2410InEndpoint::FlushFifo(std::uint32_t* status) {
  if (*status != 0) return;
  fifo_->Flush(kind_);
}

void CS3C2410InEndpoint::Halt(std::uint32_t* status) {
  if (*status != 0) return;
  SetSendStall();
  hold_ = 1;
  // The halt ends with the host's first STALL handshake, which only a service pass of this endpoint
  // sees: its interrupt is needed also when no transfer runs.
  registers_->EnableEndpointInterrupt(number_);
}

void CS3C2410InEndpoint::Stall(std::uint32_t* status) {
  if (*status != 0) return;
  SetSendStall();
  host_halt_ = 1;
}

void CS3C2410InEndpoint::Deconfigure(std::uint32_t* status) {
  if (state_ != 0) {
    registers_->DisableEndpointInterrupt(number_);
    fifo_->Flush(kind_);
    if (kind_ == kUsbKindBulkIn) fifo_->FinishPacket();
    const std::uint32_t count = fifo_->total();
    state_ = 0;
    fifo_->Clear();
    if (*status == 0 && observer_ != nullptr) observer_->OnWriteComplete(kind_, kUsbResultAborted, count, status);
  }
  SetSendStall();
  hold_ = 0;
}

void CS3C2410InEndpoint::Service(std::uint32_t* status) {
  TakeInterrupt();
  const std::uint8_t csr = registers_->ReadCsr(number_, u::IN_CSR1_REG);
  if ((csr & u::kInSentStall) != 0) {
    if (host_halt_ != 0) {
      // The host's halt stays until it clears it; only the report is taken.
      registers_->ModifyInCsr(number_, 0, u::kInSentStall);
    } else {
      // The class's transient halt ends once the host has seen one STALL.
      ClearStallSequence(status);
      if (state_ == 0) registers_->DisableEndpointInterrupt(number_);
    }
  }
  if (PacketWaiting()) return;
  if ((state_ & kActive) != 0) LoadPacket();
  if ((state_ & kDone) != 0 && *status == 0) {
    registers_->DisableEndpointInterrupt(number_);
    state_ = 0;
    const std::uint32_t count = fifo_->total();
    fifo_->Clear();
    if (observer_ != nullptr) observer_->OnWriteComplete(kind_, kUsbResultCompleted, count, status);
  }
}
