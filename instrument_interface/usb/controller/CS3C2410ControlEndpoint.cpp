#include "usb/controller/CS3C2410ControlEndpoint.h"

#include <new>

#include "platform/hw_registers.h"
#include "platform/regbus.h"
#include "usb/controller/CS3C2410InterruptMask.h"

namespace u = hw::usbd;
using platform::regbus::Read8;
using platform::regbus::Write8;

CS3C2410ControlEndpoint::CS3C2410ControlEndpoint(CUsbEndpointEventObserver* observer, CS3C2410Registers* registers,
                                                 CS3C2410Controller* controller, std::uint32_t* status)
    : CS3C2410Endpoint(0, 0, 0, 0, kUsbKindControl, observer, registers, controller, status) {
  if (*status != 0) return;
  in_ = new (std::nothrow) CS3C2410FifoManager(0, 8, 0, registers);
  out_ = new (std::nothrow) CS3C2410FifoManager(0, 8, 1, registers);
  if (in_ == nullptr || out_ == nullptr) *status = kStatusOutOfMemory;
}

CS3C2410ControlEndpoint::~CS3C2410ControlEndpoint() {
  delete in_;
  delete out_;
}

void CS3C2410ControlEndpoint::Configure(std::uint32_t* status) {
  if (*status != 0) return;
  registers_->ProgramEndpoint(0, kUsbKindControl, 8);
  registers_->EnableEndpointInterrupt(0);
}

void CS3C2410ControlEndpoint::Deconfigure(std::uint32_t* status) {
  if ((state_ & kWriteBit) != 0) {
    const std::uint32_t count = in_->total();
    state_ = 0;
    if (*status == 0 && observer_ != nullptr)
      observer_->OnWriteComplete(kUsbKindControl, kUsbResultAborted, count, status);
  }
  state_ = 0;
  status_pending_ = 0;
  registers_->DisableEndpointInterrupt(0);
}

void CS3C2410ControlEndpoint::LoadPacket() {
  in_->WritePacket();
  if (!in_->FinishPacket()) {
    state_ = kStateOvertaken;
    status_pending_ = 0;
    return;
  }
  if (in_->last()) {
    status_pending_ = 1;
    state_ = in_->is_short() ? kStateSentShort : kStateSentFull;
  }
}

void CS3C2410ControlEndpoint::StartWrite(CDataBuffer* chain, std::uint32_t* status) {
  if (*status != 0) return;
  if (setup_unacknowledged_ == 0) {
    // No setup packet waits for this data stage (it was answered or abandoned).
    *status = kStatusNotReported;
    return;
  }
  registers_->WriteCsr(0, u::EP0_CSR, u::kEp0ServicedOutPktRdy);
  setup_unacknowledged_ = 0;
  in_->Attach(chain);
  in_->SetLengthLimit(length_);
  state_ = kStateWriting;
  LoadPacket();
}

void CS3C2410ControlEndpoint::AcknowledgeStatus(std::uint32_t* status) {
  if (*status != 0 || setup_unacknowledged_ == 0) return;
  registers_->WriteCsr(0, u::EP0_CSR, u::kEp0ServicedOutPktRdy | u::kEp0DataEnd);
  state_ = 0;
  setup_unacknowledged_ = 0;
}

void CS3C2410ControlEndpoint::CancelTransfer(std::uint32_t* count, std::uint32_t*) {
  state_ = 0;
  status_pending_ = 0;
  *count = in_->total();
  in_->Clear();
}

void CS3C2410ControlEndpoint::Halt(std::uint32_t* status) {
  Stall(status);
  state_ = 0;
}

void CS3C2410ControlEndpoint::Stall(std::uint32_t* status) {
  if (*status != 0) return;
  {
    CS3C2410InterruptMask masked;
    Write8(u::INDEX_REG, 0);
    // One write: were SEND_STALL set before the setup is acknowledged, a host that saw the stall could
    // send its next setup in between, and the acknowledgement would discard that setup and stall it.
    Write8(u::EP0_CSR, u::kEp0SendStall | u::kEp0ServicedOutPktRdy | u::kEp0DataEnd);
  }
  setup_unacknowledged_ = 0;
  status_pending_ = 0;
}

bool CS3C2410ControlEndpoint::IsStalled() { return (registers_->ReadCsr(0, u::EP0_CSR) & u::kEp0SendStall) != 0; }

void CS3C2410ControlEndpoint::ClearStall(std::uint32_t* status) {
  if (*status != 0) return;
  CS3C2410InterruptMask masked;
  Write8(u::INDEX_REG, 0);
  // Written as 0, SEND_STALL ends the stall and SENT_STALL clears.
  Write8(u::EP0_CSR, u::kEp0SentStall);
  Write8(u::EP0_CSR, 0);
}

void CS3C2410ControlEndpoint::EndDataStage(std::uint32_t* status) {
  if ((state_ & (kActive | kDataStageSent)) == 0 && state_ != kStateOvertaken) return;
  const bool sent = (state_ & kDataStageSent) != 0;
  const std::uint32_t count = in_->total();
  state_ = 0;
  status_pending_ = 0;
  if (*status == 0 && observer_ != nullptr)
    observer_->OnWriteComplete(kUsbKindControl, sent ? kUsbResultCompleted : kUsbResultOvertaken, count, status);
}

void CS3C2410ControlEndpoint::Service(std::uint32_t* status) {
  TakeInterrupt();
  registers_->soft_pending[0].store(0);
  std::uint8_t csr = registers_->ReadCsr(0, u::EP0_CSR);
  if ((csr & u::kEp0SetupEnd) != 0) {
    // The host ended the control transfer early. The data stage in progress is given up, and its
    // owner is told (result 1 when it had gone out completely, 4 otherwise), so that nobody waits
    // for a completion that will never come.
    registers_->WriteCsr(
        0, u::EP0_CSR,
        static_cast<std::uint8_t>((csr & ~(u::kEp0ServicedSetupEnd | u::kEp0InPktRdy | u::kEp0DataEnd)) |
                                  u::kEp0ServicedSetupEnd));
    EndDataStage(status);
    state_ = 0;
    status_pending_ = 0;
    csr = registers_->ReadCsr(0, u::EP0_CSR);
  }
  if ((csr & u::kEp0SentStall) != 0) {
    // The host has seen the stall: the protocol stall of endpoint 0 is over.
    registers_->WriteCsr(0, u::EP0_CSR, 0);
    csr = registers_->ReadCsr(0, u::EP0_CSR);
  }
  if ((csr & u::kEp0InPktRdy) == 0 && (state_ & kActive) != 0 && (csr & u::kEp0OutPktRdy) == 0) {
    LoadPacket();
    return;
  }
  if ((csr & u::kEp0OutPktRdy) != 0) {
    EndDataStage(status);
    if (*status != 0) return;
    UsbSetupPacket setup{};
    registers_->ReadSetup(&setup);
    setup_unacknowledged_ = 1;
    length_ = setup.wLength;
    if (observer_ != nullptr) observer_->OnSetup(setup, status);
    return;
  }
  if (status_pending_ != 0 && (csr & u::kEp0DataEnd) == 0) {
    status_pending_ = 0;
    if ((state_ & kDataStageSent) != 0 && (state_ & kWriteBit) != 0) {
      const std::uint32_t count = in_->total();
      state_ = 0;
      if (*status == 0 && observer_ != nullptr)
        observer_->OnWriteComplete(kUsbKindControl, kUsbResultCompleted, count, status);
    } else {
      state_ = 0;
    }
  }
}
