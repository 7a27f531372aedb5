#include "usb/CS3C2410Controller.h"

#include <new>

#include "platform/diag.h"
#include "platform/hw_registers.h"
#include "platform/interrupt.h"
#include "platform/kernel.h"
#include "platform/regbus.h"
#include "platform/signals.h"

namespace u = hw::usbd;
using platform::regbus::Read8;
using platform::regbus::Write8;

namespace {

// Bounds of the busy waits on controller bits.
constexpr unsigned kClearStallAttempts = 64;
constexpr unsigned kResetWaitPolls = 2000;  // 50 us apart: 100 ms
constexpr std::uint32_t kResetPollMicroseconds = 50;

// State words and bits.
constexpr std::uint32_t kActive = 0x8000;
constexpr std::uint32_t kDone = 0x4000;
constexpr std::uint32_t kDataStageSent = 0x2000;
constexpr std::uint32_t kReadBit = 0x0800;
constexpr std::uint32_t kWriteBit = 0x0400;
constexpr std::uint32_t kStateWriting = 0x8400;
constexpr std::uint32_t kStateWriteLast = 0x4480;
constexpr std::uint32_t kStateSentFull = 0x2410;
constexpr std::uint32_t kStateSentShort = 0x2440;
constexpr std::uint32_t kStateOvertaken = 0x4420;
constexpr std::uint32_t kStateReading = 0x8800;
constexpr std::uint32_t kStateReadFull = 0x4880;

// A register sequence with IRQ and FIQ masked.
class Masked {
 public:
  Masked() { cyg_interrupt_disable(); }
  ~Masked() { cyg_interrupt_enable(); }
  Masked(const Masked&) = delete;
  Masked& operator=(const Masked&) = delete;
};

// Bits of the CSRs that act when written as 1 (they must not be written back as read).
constexpr std::uint8_t kInActionBits = u::kInPktRdy | u::kInFifoFlush | u::kInClrDataToggle;
constexpr std::uint8_t kOutActionBits = u::kOutFifoFlush | u::kOutClrDataToggle;

}  // namespace

// --- registers ---------------------------------------------------------------------------------------

CS3C2410Registers::CS3C2410Registers() { mirror_ = Read8(u::EP_INT_EN_REG); }

void CS3C2410Registers::EnableEndpointInterrupt(unsigned n) {
  Masked m;
  mirror_ |= 1u << n;
  Write8(u::EP_INT_EN_REG, static_cast<std::uint8_t>(mirror_));
}

void CS3C2410Registers::DisableEndpointInterrupt(unsigned n) {
  Masked m;
  mirror_ &= ~(1u << n);
  Write8(u::EP_INT_EN_REG, static_cast<std::uint8_t>(mirror_));
}

void CS3C2410Registers::RewriteEnables() {
  for (unsigned n = 0; n < 4; ++n) {
    Masked m;
    const std::uint8_t value = Read8(u::EP_INT_EN_REG);
    const std::uint8_t bit = static_cast<std::uint8_t>(1u << n);
    Write8(u::EP_INT_EN_REG, static_cast<std::uint8_t>((mirror_ & bit) != 0 ? (value | bit) : (value & ~bit)));
  }
}

void CS3C2410Registers::ClearEndpointInterrupt(unsigned n) {
  Masked m;
  Write8(u::EP_INT_REG, static_cast<std::uint8_t>(1u << n));
}

bool CS3C2410Registers::EndpointInterruptFlag(unsigned n) {
  Masked m;
  return (Read8(u::EP_INT_REG) & (1u << n)) != 0;
}

void CS3C2410Registers::ProgramEndpoint(unsigned n, std::int32_t kind, std::uint16_t packet_size) {
  Masked m;
  Write8(u::INDEX_REG, static_cast<std::uint8_t>(n));
  if (n < 4) kinds_[n] = kind;
  Write8(u::MAXP_REG, static_cast<std::uint8_t>(packet_size / 8));
  if (n >= 1 && n <= 3) {
    Write8(u::IN_CSR1_REG, u::kInClrDataToggle);
    Write8(u::IN_CSR2_REG, u::kIn2DmaIntOff);
    Write8(u::OUT_CSR1_REG, u::kOutClrDataToggle | u::kOutFifoFlush);
    Write8(u::OUT_CSR2_REG, u::kOut2DmaIntOff);
    if (kind != kUsbKindBulkOut) Write8(u::IN_CSR2_REG, u::kIn2DmaIntOff | u::kIn2ModeIn);
    Write8(u::EP_INT_REG, static_cast<std::uint8_t>(1u << n));
  }
}

void CS3C2410Registers::ReadSetup(UsbSetupPacket* setup) {
  std::uint8_t b[8];
  {
    Masked m;
    for (std::uint8_t& byte : b) byte = Read8(u::EpFifo(0));
  }
  setup->bmRequestType = b[0];
  setup->bRequest = b[1];
  setup->wValue = static_cast<std::uint16_t>(b[2] | (b[3] << 8));
  setup->wIndex = static_cast<std::uint16_t>(b[4] | (b[5] << 8));
  setup->wLength = static_cast<std::uint16_t>(b[6] | (b[7] << 8));
}

std::uint8_t CS3C2410Registers::ReadCsr(unsigned n, std::uint32_t reg) {
  Masked m;
  Write8(u::INDEX_REG, static_cast<std::uint8_t>(n));
  return Read8(reg);
}

void CS3C2410Registers::WriteCsr(unsigned n, std::uint32_t reg, std::uint8_t value) {
  Masked m;
  Write8(u::INDEX_REG, static_cast<std::uint8_t>(n));
  Write8(reg, value);
}

void CS3C2410Registers::ModifyInCsr(unsigned n, std::uint8_t set, std::uint8_t clear) {
  Masked m;
  Write8(u::INDEX_REG, static_cast<std::uint8_t>(n));
  const std::uint8_t value = static_cast<std::uint8_t>(Read8(u::IN_CSR1_REG) & ~kInActionBits);
  Write8(u::IN_CSR1_REG, static_cast<std::uint8_t>((value & ~clear) | set));
}

void CS3C2410Registers::ModifyOutCsr(unsigned n, std::uint8_t set, std::uint8_t clear) {
  Masked m;
  Write8(u::INDEX_REG, static_cast<std::uint8_t>(n));
  const std::uint8_t value = static_cast<std::uint8_t>(Read8(u::OUT_CSR1_REG) & ~kOutActionBits);
  Write8(u::OUT_CSR1_REG, static_cast<std::uint8_t>((value & ~clear) | set));
}

void CS3C2410Registers::ModifyUsbIntEnable(std::uint8_t set, std::uint8_t clear) {
  Masked m;
  const std::uint8_t value = Read8(u::USB_INT_EN_REG);
  Write8(u::USB_INT_EN_REG, static_cast<std::uint8_t>((value & ~clear) | set));
}

std::uint8_t CS3C2410Registers::OutFifoCount(unsigned n) {
  Masked m;
  Write8(u::INDEX_REG, static_cast<std::uint8_t>(n));
  return Read8(u::OUT_FIFO_CNT1_REG);
}

std::uint8_t CS3C2410Registers::UsbInterrupts() {
  Masked m;
  return Read8(u::USB_INT_REG);
}

void CS3C2410Registers::ClearUsbInterrupt(std::uint8_t bits) {
  Masked m;
  Write8(u::USB_INT_REG, bits);
}

// --- FIFO manager ------------------------------------------------------------------------------------

std::uint32_t CS3C2410FifoManager::Left() const {
  std::uint32_t left = 0;
  for (const CDataBuffer* b = chain_; b != nullptr; b = b->next) {
    if (b->cursor < b->WindowEnd()) left += b->WindowEnd() - b->cursor;
  }
  return left;
}

void CS3C2410FifoManager::Attach(CDataBuffer* chain) {
  chain_ = chain;
  for (CDataBuffer* b = chain_; b != nullptr; b = b->next) b->cursor = b->WindowStart();
  remaining_ = Left();
  write_count_ = 0;
  read_count_ = 0;
  total_ = 0;
  limited_ = false;
  expected_ = 0;
  last_ = short_ = full_ = false;
}

void CS3C2410FifoManager::WritePacket() {
  CDataBuffer* b = chain_;
  while (write_count_ < packet_size_ && b != nullptr) {
    if (b->cursor >= b->WindowEnd() || b->Data() == nullptr || b->cursor >= b->Length()) {
      b = b->next;
      continue;
    }
    const std::uint8_t byte = b->Data()[b->cursor++];
    {
      Masked m;
      platform::kernel::DelayMicroseconds(1);
      Write8(u::EpFifo(endpoint_), byte);
    }
    ++write_count_;
  }
  remaining_ = Left();
}

void CS3C2410FifoManager::ReadPacket() {
  CDataBuffer* b = chain_;
  while (b != nullptr) {
    if (b->cursor >= b->WindowEnd() || b->Data() == nullptr || b->cursor >= b->Length()) {
      b = b->next;
      continue;
    }
    if (registers_->OutFifoCount(endpoint_) == 0) break;
    std::uint8_t byte = 0;
    {
      Masked m;
      platform::kernel::DelayMicroseconds(1);
      byte = Read8(u::EpFifo(endpoint_));
    }
    b->Data()[b->cursor++] = byte;
    ++read_count_;
  }
  remaining_ = Left();
}

bool CS3C2410FifoManager::FinishPacket() {
  const std::uint32_t count = direction_ == 0 ? write_count_ : read_count_;
  const std::uint32_t packet = direction_ == 0 ? count : count + packet_taken_;
  packet_taken_ = 0;
  last_packet_ = count;
  short_ = packet < packet_size_;
  full_ = packet == packet_size_;
  total_ += count;
  last_ = short_ || (limited_ && total_ >= expected_);
  write_count_ = 0;
  read_count_ = 0;
  Masked m;
  Write8(u::INDEX_REG, static_cast<std::uint8_t>(endpoint_));
  platform::kernel::DelayMicroseconds(1);
  if (direction_ == 0 && endpoint_ == 0) {
    // A setup packet that arrived while the packet was loaded ends this data stage: the packet is
    // not handed over, and the next service pass reports the stage as overtaken.
    if ((Read8(u::EP0_CSR) & (u::kEp0OutPktRdy | u::kEp0SetupEnd)) != 0) return false;
    Write8(u::EP0_CSR, last_ ? (u::kEp0InPktRdy | u::kEp0DataEnd) : u::kEp0InPktRdy);
  } else if (direction_ == 0) {
    const std::uint8_t v = static_cast<std::uint8_t>(Read8(u::IN_CSR1_REG) & ~kInActionBits);
    Write8(u::IN_CSR1_REG, static_cast<std::uint8_t>(v | u::kInPktRdy));
  } else {
    const std::uint8_t v = static_cast<std::uint8_t>(Read8(u::OUT_CSR1_REG) & ~kOutActionBits);
    Write8(u::OUT_CSR1_REG, static_cast<std::uint8_t>(v & ~u::kOutPktRdy));
  }
  return true;
}

void CS3C2410FifoManager::Flush(std::int32_t kind) {
  total_ += direction_ == 0 ? write_count_ : read_count_;
  packet_taken_ = 0;
  write_count_ = 0;
  read_count_ = 0;
  if (kind == kUsbKindBulkOut) {
    registers_->ModifyOutCsr(endpoint_, u::kOutFifoFlush, 0);
  } else {
    registers_->ModifyInCsr(endpoint_, u::kInFifoFlush, 0);
  }
}

void CS3C2410FifoManager::Clear() {
  chain_ = nullptr;
  write_count_ = read_count_ = remaining_ = total_ = 0;
  limited_ = false;
  expected_ = 0;
  last_ = short_ = full_ = false;
}

// --- endpoint common ---------------------------------------------------------------------------------

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
    if (*status == 0) *status = kUsbStatusDriverFault;
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

// --- control endpoint --------------------------------------------------------------------------------

CS3C2410ControlEndpoint::CS3C2410ControlEndpoint(CUsbEndpointEventObserver* observer, CS3C2410Registers* registers,
                                                 CS3C2410Controller* controller, std::uint32_t* status)
    : CS3C2410Endpoint(0, 0, 0, 0, kUsbKindControl, observer, registers, controller, status) {
  if (*status != 0) return;
  in_ = new (std::nothrow) CS3C2410FifoManager(0, 8, 0, registers);
  out_ = new (std::nothrow) CS3C2410FifoManager(0, 8, 1, registers);
  if (in_ == nullptr || out_ == nullptr) *status = kUsbStatusNoMemory;
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
    *status = kUsbStatusDriverFault;
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
    Masked m;
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
  Masked m;
  Write8(u::INDEX_REG, 0);
  // Written as 0, SEND_STALL ends the stall and SENT_STALL clears.
  Write8(u::EP0_CSR, u::kEp0SentStall);
  Write8(u::EP0_CSR, 0);
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
        static_cast<std::uint8_t>((csr & 0x7F & ~(u::kEp0InPktRdy | u::kEp0DataEnd)) | u::kEp0ServicedSetupEnd));
    if ((state_ & (kActive | kDataStageSent)) != 0 || state_ == kStateOvertaken) {
      const bool sent = (state_ & kDataStageSent) != 0;
      const std::uint32_t count = in_->total();
      state_ = 0;
      status_pending_ = 0;
      if (*status == 0 && observer_ != nullptr)
        observer_->OnWriteComplete(kUsbKindControl, sent ? kUsbResultCompleted : kUsbResultOvertaken, count, status);
    }
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
    if ((state_ & (kActive | kDataStageSent)) != 0 || state_ == kStateOvertaken) {
      const bool sent = (state_ & kDataStageSent) != 0;
      const std::uint32_t count = in_->total();
      state_ = 0;
      status_pending_ = 0;
      if (*status == 0 && observer_ != nullptr)
        observer_->OnWriteComplete(kUsbKindControl, sent ? kUsbResultCompleted : kUsbResultOvertaken, count, status);
    }
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

// --- IN endpoints ------------------------------------------------------------------------------------

CS3C2410InEndpoint::CS3C2410InEndpoint(std::uint8_t configuration, std::uint8_t interface, std::uint8_t alternate,
                                       unsigned number, std::int32_t kind, CUsbEndpointEventObserver* observer,
                                       CS3C2410Registers* registers, CS3C2410Controller* controller,
                                       std::uint32_t* status)
    : CS3C2410Endpoint(configuration, interface, alternate, number, kind, observer, registers, controller, status) {
  if (*status != 0) return;
  fifo_ = new (std::nothrow) CS3C2410FifoManager(number, 64, 0, registers);
  if (fifo_ == nullptr) *status = kUsbStatusNoMemory;
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
    *status = kUsbStatusDriverFault;  // one transfer at a time
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

void CS3C2410BulkInEndpoint::CancelTransfer(std::uint32_t* count, std::uint32_t*) {
  // Called under the service lock, with or without a halt: no service pass loads a packet meanwhile.
  // Without a halt the host may still take the waiting packet just before the flush; it then gets
  // that packet and the empty one after it, and the count misses that packet.
  registers_->DisableEndpointInterrupt(number_);
  // A packet still waiting in the FIFO never reached the host: the flush takes it back.
  const std::uint32_t not_taken = state_ != 0 && PacketWaiting() ? fifo_->last_packet() : 0;
  fifo_->Flush(kind_);
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

// --- bulk-OUT ----------------------------------------------------------------------------------------

CS3C2410BulkOutEndpoint::CS3C2410BulkOutEndpoint(std::uint8_t configuration, std::uint8_t interface,
                                                 std::uint8_t alternate, CUsbEndpointEventObserver* observer,
                                                 CS3C2410Registers* registers, CS3C2410Controller* controller,
                                                 std::uint32_t* status)
    : CS3C2410Endpoint(configuration, interface, alternate, 2, kUsbKindBulkOut, observer, registers, controller,
                       status) {
  if (*status != 0) return;
  fifo_ = new (std::nothrow) CS3C2410FifoManager(2, 64, 1, registers);
  if (fifo_ == nullptr) *status = kUsbStatusNoMemory;
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
    *status = kUsbStatusDriverFault;  // one read at a time
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

// --- controller --------------------------------------------------------------------------------------

CS3C2410Controller::CS3C2410Controller(COSUsbDevice* device, CUsbExceptionEventObserver* exception_observer,
                                       std::uint32_t* status)
    : CUsbController(device, exception_observer, 4, status) {
  if (*status != 0) return;
  registers_ = new (std::nothrow) CS3C2410Registers();
  if (registers_ == nullptr) {
    *status = kUsbStatusNoMemory;
    return;
  }
  platform::signals::Install(platform::signals::kSigBus, &DumpRegisters);
  const cyg_vector_t vectors[] = {kVector, 0};
  std::uint32_t s = 0;
  device_->AttachInterrupts(vectors, &s);
  if (s != 0) *status = kUsbStatusNoMemory;
}

namespace {

// The banner of the bus-error dump, one row per line.
constexpr const char* kBusErrorBanner[] = {
    "      \n",
    " >`)  \n",
    " ( \\  \n",
    "  ^   \n",
    "      \n",
};
static_assert(sizeof kBusErrorBanner / sizeof kBusErrorBanner[0] == 5, "five banner lines");
constexpr std::uint32_t kBusErrorDumpBytes = 128;
static_assert(sizeof(platform::signals::SavedRegisters) >= kBusErrorDumpBytes, "the dump stays inside the frame");

}  // namespace

void CS3C2410Controller::DumpRegisters(int) {
  static const platform::signals::SavedRegisters kNoFrame{};
  const platform::signals::SavedRegisters* frame = platform::signals::FaultFrame();
  if (frame == nullptr) frame = &kNoFrame;  // called other than for a fault: nothing was saved
  for (const char* line : kBusErrorBanner) diag_printf("%s", line);
  diag_dump_buf(frame, kBusErrorDumpBytes);
  diag_printf("Registers:\n");
  for (int i = 0; i <= 10; ++i) {
    if (i == 0 || i == 6) diag_printf("R%d: ", i);
    diag_printf("%08X ", static_cast<unsigned>(frame->r[i]));
    if (i == 5 || i == 10) diag_printf("\n");
  }
  diag_printf("FP: %08X, SP: %08X, LR: %08X, PC: %08X, PSR: %08X\n", static_cast<unsigned>(frame->fp),
              static_cast<unsigned>(frame->sp), static_cast<unsigned>(frame->lr), static_cast<unsigned>(frame->pc),
              static_cast<unsigned>(frame->cpsr));
  platform::signals::Install(platform::signals::kSigBus, &platform::signals::Ignore);
}

CS3C2410Controller::~CS3C2410Controller() {
  DetachInterruptHookup();
  cyg_interrupt_mask(kVector);
  delete registers_;
}

void CS3C2410Controller::SetAddress(std::uint8_t address) {
  Masked m;
  Write8(u::FUNC_ADDR_REG, static_cast<std::uint8_t>((address & u::kAddrMask) | u::kAddrUpdate));
}

void CS3C2410Controller::ResetHardware(std::uint32_t* status) {
  if (*status != 0) return;
  Masked m;
  Write8(u::EP_INT_REG, 0x1F);
  Write8(u::USB_INT_REG, 0x07);
  Write8(u::EP_INT_EN_REG, 0);
  Write8(u::USB_INT_EN_REG, 0);
  for (auto& flag : registers_->soft_pending) flag.store(0);
}

void CS3C2410Controller::SetPullup(bool on) {
  // The port is shared with the other drivers: one read-modify-write with interrupts disabled.
  Masked m;
  std::uint32_t dat = platform::regbus::Read32(hw::gpio::GPEDAT);
  if (on) {
    dat |= hw::line::kUsbPullup.Mask();
  } else {
    dat &= ~hw::line::kUsbPullup.Mask();
  }
  platform::regbus::Write32(hw::gpio::GPEDAT, dat);
}

void CS3C2410Controller::Connect(std::uint32_t* status) {
  if (*status != 0) return;
  SetPullup(true);
  cyg_interrupt_acknowledge(kVector);
  cyg_interrupt_unmask(kVector);
  registers_->ModifyUsbIntEnable(u::kIntReset, 0);
  registers_->ModifyUsbIntEnable(u::kIntSuspend, 0);
}

void CS3C2410Controller::Disconnect(std::uint32_t* status) {
  if (*status != 0) return;
  cyg_interrupt_mask(kVector);
  registers_->ModifyUsbIntEnable(0, u::kIntReset);
  registers_->ModifyUsbIntEnable(0, u::kIntSuspend);
  SetPullup(false);
}

void CS3C2410Controller::EnableInterrupts(std::uint32_t* status) {
  if (*status != 0) return;
  registers_->ModifyUsbIntEnable(u::kIntReset | u::kIntSuspend, 0);
  cyg_interrupt_unmask(kVector);
  Masked m;
  bool soft = false;
  for (auto& flag : registers_->soft_pending) soft = soft || flag.load() != 0;
  if (soft && service_posted_.load() == 0) {
    service_posted_.store(1);
    device_->PostService();
  }
}

void CS3C2410Controller::DisableInterrupts() {
  registers_->ModifyUsbIntEnable(0, u::kIntReset | u::kIntSuspend);
  cyg_interrupt_mask(kVector);
  cyg_interrupt_acknowledge(kVector);
  service_posted_.store(0);
}

void CS3C2410Controller::ServicePassStarting() {
  // A posted pass is not started by the interrupt, so nothing else clears the mark; left set, it
  // would keep the next soft-pending packet (a header already in the FIFO) from ever being posted.
  service_posted_.store(0);
}

bool CS3C2410Controller::TakeSuspend() {
  const std::uint8_t pending = registers_->UsbInterrupts();
  if ((pending & u::kIntSuspend) != 0) {
    registers_->ClearUsbInterrupt(u::kIntSuspend);
    return true;
  }
  if ((pending & u::kIntResume) != 0) registers_->ClearUsbInterrupt(u::kIntResume);
  return false;
}

bool CS3C2410Controller::TakeBusReset() {
  if ((registers_->UsbInterrupts() & u::kIntReset) == 0) return false;
  registers_->ClearUsbInterrupt(u::kIntReset);
  // The host holds the reset for at least 10 ms; the wait is bounded so that a line stuck in reset
  // cannot hold the service thread.
  for (unsigned i = 0; i < kResetWaitPolls; ++i) {
    std::uint8_t pwr = 0;
    {
      Masked m;
      pwr = Read8(u::PWR_REG);
    }
    if ((pwr & u::kPwrUsbReset) == 0) break;
    platform::kernel::DelayMicroseconds(kResetPollMicroseconds);
  }
  // The reset sets the enables to their defaults: the mirror goes back.
  registers_->RewriteEnables();
  return true;
}

CUsbControllerEndpoint* CS3C2410Controller::CreateControlEndpoint(CUsbEndpointEventObserver* observer,
                                                                  std::uint32_t* status) {
  if (*status != 0) return nullptr;
  auto* e = new (std::nothrow) CS3C2410ControlEndpoint(observer, registers_, this, status);
  if (e == nullptr) {
    *status = kUsbStatusNoMemory;
    return nullptr;
  }
  if (*status != 0) {
    delete e;
    return nullptr;
  }
  control_ = e;
  return e;
}

CUsbControllerEndpoint* CS3C2410Controller::CreateBulkInEndpoint(std::uint8_t configuration, std::uint8_t interface,
                                                                 std::uint8_t alternate,
                                                                 CUsbEndpointEventObserver* observer,
                                                                 std::uint32_t* status) {
  if (*status != 0) return nullptr;
  auto* e = new (std::nothrow)
      CS3C2410BulkInEndpoint(configuration, interface, alternate, observer, registers_, this, status);
  if (e == nullptr) {
    *status = kUsbStatusNoMemory;
    return nullptr;
  }
  if (*status != 0) {
    delete e;
    return nullptr;
  }
  bulk_in_ = e;
  return e;
}

CUsbControllerEndpoint* CS3C2410Controller::CreateBulkOutEndpoint(std::uint8_t configuration, std::uint8_t interface,
                                                                  std::uint8_t alternate,
                                                                  CUsbEndpointEventObserver* observer,
                                                                  std::uint32_t* status) {
  if (*status != 0) return nullptr;
  auto* e = new (std::nothrow)
      CS3C2410BulkOutEndpoint(configuration, interface, alternate, observer, registers_, this, status);
  if (e == nullptr) {
    *status = kUsbStatusNoMemory;
    return nullptr;
  }
  if (*status != 0) {
    delete e;
    return nullptr;
  }
  bulk_out_ = e;
  return e;
}

CUsbControllerEndpoint* CS3C2410Controller::CreateInterruptInEndpoint(std::uint8_t configuration,
                                                                      std::uint8_t interface, std::uint8_t alternate,
                                                                      CUsbEndpointEventObserver* observer,
                                                                      std::uint32_t* status) {
  if (*status != 0) return nullptr;
  auto* e = new (std::nothrow)
      CS3C2410InterruptInEndpoint(configuration, interface, alternate, observer, registers_, this, status);
  if (e == nullptr) {
    *status = kUsbStatusNoMemory;
    return nullptr;
  }
  if (*status != 0) {
    delete e;
    return nullptr;
  }
  interrupt_in_ = e;
  return e;
}

void CS3C2410Controller::DestroyEndpoint(CUsbControllerEndpoint* endpoint) {
  if (endpoint == nullptr) return;
  if (control_ == endpoint) control_ = nullptr;
  if (bulk_in_ == endpoint) bulk_in_ = nullptr;
  if (bulk_out_ == endpoint) bulk_out_ = nullptr;
  if (interrupt_in_ == endpoint) interrupt_in_ = nullptr;
  delete endpoint;
}
