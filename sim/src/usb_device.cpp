#include "sim/usb_device.h"

#include <algorithm>
#include <thread>

#include "platform/interrupt.h"
#include "platform/kernel.h"

namespace sim {

namespace u = hw::usbd;

namespace {

// Register offsets inside the endpoint-indexed block.
bool IsFifo(std::uint32_t address, unsigned* n) {
  for (unsigned i = 0; i < u::kEndpointCount; ++i) {
    if (address == u::EpFifo(i)) {
      *n = i;
      return true;
    }
  }
  return false;
}

}  // namespace

UsbDeviceController::UsbDeviceController(Gpio& gpio) : gpio_(gpio) {
  {
    std::lock_guard<std::mutex> g(lock_);
    ResetLocked();
    ep_int_en_ = 0;
    usb_int_en_ = 0;
    UpdateLineLocked();
  }
  platform::regbus::Map(u::kBase, u::kSize, this);
}

UsbDeviceController::~UsbDeviceController() {
  platform::regbus::Unmap(this);
  std::lock_guard<std::mutex> g(lock_);
  if (line_) platform::interrupts::SetSourceLevel(u::kVector, false);
}

bool UsbDeviceController::AttachedLocked() { return gpio_.Level(hw::line::kUsbPullup); }

bool UsbDeviceController::Attached() {
  std::lock_guard<std::mutex> g(lock_);
  return AttachedLocked();
}

bool UsbDeviceController::AddressedLocked(std::uint8_t address) {
  return !in_reset_ && AttachedLocked() && address == address_;
}

void UsbDeviceController::ResetLocked() {
  address_ = 0;
  pending_address_ = 0;
  address_update_ = false;
  pwr_ = 0;
  ep_int_ = 0;
  ep0_csr_ = 0;
  ep0_phase_ = Ep0Phase::kIdle;
  index_ = 0;
  // Power-on defaults of the enables: every endpoint interrupt, and the reset interrupt.
  ep_int_en_ = 0x1F;
  usb_int_en_ = u::kIntReset;
  for (Endpoint& ep : eps_) ep = Endpoint{};
}

void UsbDeviceController::UpdateLineLocked() {
  const bool level = (ep_int_ & ep_int_en_ & 0x1F) != 0 || (usb_int_ & usb_int_en_ & 0x07) != 0;
  if (level != line_) {
    line_ = level;
    platform::interrupts::SetSourceLevel(u::kVector, level);
  }
}

void UsbDeviceController::RaiseEndpointLocked(unsigned n) {
  ep_int_ |= static_cast<std::uint8_t>(1u << n);
  UpdateLineLocked();
}

void UsbDeviceController::BeginReset() {
  std::lock_guard<std::mutex> g(lock_);
  const std::uint8_t usb_int = usb_int_;
  ResetLocked();
  in_reset_ = true;
  pwr_ = u::kPwrUsbReset;
  usb_int_ = static_cast<std::uint8_t>(usb_int | u::kIntReset);
  UpdateLineLocked();
}

void UsbDeviceController::EndReset() {
  std::lock_guard<std::mutex> g(lock_);
  in_reset_ = false;
  pwr_ = static_cast<std::uint8_t>(pwr_ & ~u::kPwrUsbReset);
}

void UsbDeviceController::Suspend() {
  std::lock_guard<std::mutex> g(lock_);
  pwr_ |= u::kPwrSuspended;
  usb_int_ |= u::kIntSuspend;
  UpdateLineLocked();
}

void UsbDeviceController::Resume() {
  std::lock_guard<std::mutex> g(lock_);
  pwr_ = static_cast<std::uint8_t>(pwr_ & ~u::kPwrSuspended);
  usb_int_ |= u::kIntResume;
  UpdateLineLocked();
}

void UsbDeviceController::StatusDoneLocked() {
  ep0_csr_ = static_cast<std::uint8_t>(ep0_csr_ & ~u::kEp0DataEnd);
  ep0_phase_ = Ep0Phase::kIdle;
  if (address_update_) {
    address_ = pending_address_;
    address_update_ = false;
  }
  RaiseEndpointLocked(0);
}

UsbHandshake UsbDeviceController::Setup(std::uint8_t address, const std::array<std::uint8_t, 8>& packet) {
  std::lock_guard<std::mutex> g(lock_);
  if (!AddressedLocked(address)) return UsbHandshake::kNone;
  Endpoint& ep0 = eps_[0];
  // The previous control transfer ends before its time.
  if (ep0_phase_ != Ep0Phase::kIdle || (ep0_csr_ & u::kEp0OutPktRdy) != 0) ep0_csr_ |= u::kEp0SetupEnd;
  ep0_csr_ = static_cast<std::uint8_t>(ep0_csr_ & ~(u::kEp0InPktRdy | u::kEp0DataEnd));
  ep0.in_fifo.clear();
  // A new setup ends a protocol stall of the control endpoint.
  ep0_csr_ = static_cast<std::uint8_t>(ep0_csr_ & ~u::kEp0SendStall);
  ep0.out_fifo.assign(packet.begin(), packet.end());
  ep0_csr_ |= u::kEp0OutPktRdy;
  const std::uint16_t length = static_cast<std::uint16_t>(packet[6] | (packet[7] << 8));
  if (length == 0) {
    ep0_phase_ = Ep0Phase::kNoData;
  } else {
    ep0_phase_ = (packet[0] & 0x80) != 0 ? Ep0Phase::kDataIn : Ep0Phase::kDataOut;
  }
  ep0.in_toggle = 1;
  ep0.out_toggle = 1;
  RaiseEndpointLocked(0);
  return UsbHandshake::kAck;
}

UsbHandshake UsbDeviceController::In(std::uint8_t address, unsigned endpoint, std::vector<std::uint8_t>* data,
                                     unsigned* toggle) {
  std::lock_guard<std::mutex> g(lock_);
  data->clear();
  if (endpoint >= kEndpoints || !AddressedLocked(address)) return UsbHandshake::kNone;
  Endpoint& ep = eps_[endpoint];
  if (endpoint == 0) {
    if ((ep0_csr_ & u::kEp0SendStall) != 0) {
      ep0_csr_ |= u::kEp0SentStall;
      ep0_phase_ = Ep0Phase::kIdle;  // a stalled request is over
      RaiseEndpointLocked(0);
      return UsbHandshake::kStall;
    }
    if (ep0_phase_ == Ep0Phase::kDataIn && (ep0_csr_ & u::kEp0InPktRdy) != 0) {
      data->assign(ep.in_fifo.begin(), ep.in_fifo.end());
      ep.in_fifo.clear();
      *toggle = ep.in_toggle;
      ep.in_toggle ^= 1u;
      ep0_csr_ = static_cast<std::uint8_t>(ep0_csr_ & ~u::kEp0InPktRdy);
      RaiseEndpointLocked(0);
      return UsbHandshake::kAck;
    }
    if (ep0_phase_ == Ep0Phase::kNoData && (ep0_csr_ & u::kEp0DataEnd) != 0 && (ep0_csr_ & u::kEp0OutPktRdy) == 0) {
      // The status stage of a request without data stage.
      *toggle = 1;
      StatusDoneLocked();
      return UsbHandshake::kAck;
    }
    return UsbHandshake::kNak;
  }
  if ((ep.in_csr2 & u::kIn2ModeIn) == 0) return UsbHandshake::kNone;
  if ((ep.in_csr1 & u::kInSendStall) != 0) {
    ep.in_csr1 |= u::kInSentStall;
    RaiseEndpointLocked(endpoint);
    return UsbHandshake::kStall;
  }
  if ((ep.in_csr1 & u::kInPktRdy) == 0) return UsbHandshake::kNak;
  data->assign(ep.in_fifo.begin(), ep.in_fifo.end());
  ep.in_fifo.clear();
  *toggle = ep.in_toggle;
  ep.in_toggle ^= 1u;
  ep.in_csr1 = static_cast<std::uint8_t>(ep.in_csr1 & ~u::kInPktRdy);
  RaiseEndpointLocked(endpoint);
  return UsbHandshake::kAck;
}

UsbHandshake UsbDeviceController::Out(std::uint8_t address, unsigned endpoint, const std::uint8_t* data,
                                      std::size_t size, unsigned toggle) {
  std::lock_guard<std::mutex> g(lock_);
  if (endpoint >= kEndpoints || !AddressedLocked(address)) return UsbHandshake::kNone;
  Endpoint& ep = eps_[endpoint];
  if (endpoint == 0) {
    if ((ep0_csr_ & u::kEp0SendStall) != 0) {
      ep0_csr_ |= u::kEp0SentStall;
      ep0_phase_ = Ep0Phase::kIdle;  // a stalled request is over
      RaiseEndpointLocked(0);
      return UsbHandshake::kStall;
    }
    if (ep0_phase_ == Ep0Phase::kDataIn && size == 0 && (ep0_csr_ & u::kEp0DataEnd) != 0 &&
        (ep0_csr_ & u::kEp0InPktRdy) == 0) {
      // The status stage of a request with an IN data stage.
      StatusDoneLocked();
      return UsbHandshake::kAck;
    }
    // OUT data stages are not taken by this device's firmware: held off.
    return UsbHandshake::kNak;
  }
  if ((ep.in_csr2 & u::kIn2ModeIn) != 0) return UsbHandshake::kNone;
  if ((ep.out_csr1 & u::kOutSendStall) != 0) {
    ep.out_csr1 |= u::kOutSentStall;
    RaiseEndpointLocked(endpoint);
    return UsbHandshake::kStall;
  }
  if ((ep.out_csr1 & u::kOutPktRdy) != 0) return UsbHandshake::kNak;
  if (size > FifoCapacity(endpoint)) return UsbHandshake::kNone;  // babble: no handshake
  if (toggle != ep.out_toggle) return UsbHandshake::kAck;         // a repeat of a packet already taken
  ep.out_toggle ^= 1u;
  ep.out_fifo.assign(data, data + size);
  ep.out_csr1 |= u::kOutPktRdy;
  RaiseEndpointLocked(endpoint);
  return UsbHandshake::kAck;
}

std::uint8_t UsbDeviceController::Address() {
  std::lock_guard<std::mutex> g(lock_);
  return address_;
}

bool UsbDeviceController::InterruptAsserted() {
  std::lock_guard<std::mutex> g(lock_);
  return line_;
}

std::uint64_t UsbDeviceController::FifoFaults() {
  std::lock_guard<std::mutex> g(lock_);
  return fifo_faults_;
}

std::uint8_t UsbDeviceController::InCsr(unsigned endpoint) {
  std::lock_guard<std::mutex> g(lock_);
  return endpoint < kEndpoints ? eps_[endpoint].in_csr1 : 0;
}

std::uint8_t UsbDeviceController::OutCsr(unsigned endpoint) {
  std::lock_guard<std::mutex> g(lock_);
  return endpoint < kEndpoints ? eps_[endpoint].out_csr1 : 0;
}

std::uint8_t UsbDeviceController::Ep0Csr() {
  std::lock_guard<std::mutex> g(lock_);
  return ep0_csr_;
}

std::size_t UsbDeviceController::OutFifoCount(unsigned endpoint) {
  std::lock_guard<std::mutex> g(lock_);
  return endpoint < kEndpoints ? eps_[endpoint].out_fifo.size() : 0;
}

std::uint64_t UsbDeviceController::Changes() {
  std::lock_guard<std::mutex> g(lock_);
  return changes_;
}

void UsbDeviceController::WaitForChange(std::uint64_t seen, std::chrono::steady_clock::time_point until) {
  std::unique_lock<std::mutex> g(lock_);
  changed_.wait_until(g, until, [&] { return changes_ != seen; });
}

void UsbDeviceController::Poke() {
  std::lock_guard<std::mutex> g(lock_);
  ++changes_;
  changed_.notify_all();
}

std::uint32_t UsbDeviceController::Read(std::uint32_t address, unsigned) {
  std::lock_guard<std::mutex> g(lock_);
  unsigned n = 0;
  if (IsFifo(address, &n)) {
    Endpoint& ep = eps_[n];
    if (ep.out_fifo.empty()) {
      ++fifo_faults_;
      return 0;
    }
    const std::uint8_t byte = ep.out_fifo.front();
    ep.out_fifo.pop_front();
    return byte;
  }
  Endpoint& sel = eps_[index_ < kEndpoints ? index_ : 0];
  switch (address) {
    case u::FUNC_ADDR_REG: return address_ | (address_update_ ? u::kAddrUpdate : 0u);
    case u::PWR_REG: return pwr_;
    case u::EP_INT_REG: return ep_int_;
    case u::USB_INT_REG: return usb_int_;
    case u::EP_INT_EN_REG: return ep_int_en_;
    case u::USB_INT_EN_REG: return usb_int_en_;
    case u::INDEX_REG: return index_;
    case u::MAXP_REG: return sel.maxp;
    case u::IN_CSR1_REG: return index_ == 0 ? ep0_csr_ : sel.in_csr1;
    case u::IN_CSR2_REG: return sel.in_csr2;
    case u::OUT_CSR1_REG: return sel.out_csr1;
    case u::OUT_CSR2_REG: return sel.out_csr2;
    case u::OUT_FIFO_CNT1_REG: return static_cast<std::uint32_t>(sel.out_fifo.size() & 0xFF);
    case u::OUT_FIFO_CNT2_REG: return static_cast<std::uint32_t>(sel.out_fifo.size() >> 8);
    default: return 0;
  }
}

void UsbDeviceController::WriteEp0CsrLocked(std::uint8_t value) {
  Endpoint& ep0 = eps_[0];
  if ((value & u::kEp0ServicedOutPktRdy) != 0) {
    ep0_csr_ = static_cast<std::uint8_t>(ep0_csr_ & ~u::kEp0OutPktRdy);
    ep0.out_fifo.clear();
  }
  if ((value & u::kEp0ServicedSetupEnd) != 0) ep0_csr_ = static_cast<std::uint8_t>(ep0_csr_ & ~u::kEp0SetupEnd);
  // While a setup packet holds the FIFO (unread, or the end of the previous transfer not yet
  // acknowledged) a packet cannot be handed to the host.
  const bool taken = (ep0_csr_ & (u::kEp0OutPktRdy | u::kEp0SetupEnd)) != 0;
  if (!taken) {
    if ((value & u::kEp0InPktRdy) != 0) ep0_csr_ |= u::kEp0InPktRdy;
    if ((value & u::kEp0DataEnd) != 0) ep0_csr_ |= u::kEp0DataEnd;
  }
  if ((value & u::kEp0SentStall) == 0) ep0_csr_ = static_cast<std::uint8_t>(ep0_csr_ & ~u::kEp0SentStall);
  if ((value & u::kEp0SendStall) != 0) {
    ep0_csr_ |= u::kEp0SendStall;
  } else {
    ep0_csr_ = static_cast<std::uint8_t>(ep0_csr_ & ~u::kEp0SendStall);
  }
}

void UsbDeviceController::WriteInCsr1Locked(Endpoint& ep, std::uint8_t value) {
  if ((value & u::kInFifoFlush) != 0) {
    ep.in_fifo.clear();
    ep.in_csr1 = static_cast<std::uint8_t>(ep.in_csr1 & ~u::kInPktRdy);
  }
  if ((value & u::kInPktRdy) != 0) ep.in_csr1 |= u::kInPktRdy;
  if ((value & u::kInClrDataToggle) != 0) ep.in_toggle = 0;
  if ((value & u::kInSentStall) == 0) ep.in_csr1 = static_cast<std::uint8_t>(ep.in_csr1 & ~u::kInSentStall);
  if ((value & u::kInSendStall) != 0) {
    ep.in_csr1 |= u::kInSendStall;
  } else {
    ep.in_csr1 = static_cast<std::uint8_t>(ep.in_csr1 & ~u::kInSendStall);
  }
}

void UsbDeviceController::WriteOutCsr1Locked(Endpoint& ep, std::uint8_t value) {
  if ((value & u::kOutFifoFlush) != 0 || (value & u::kOutPktRdy) == 0) {
    // Flushing, or the firmware handing the packet back: the FIFO is free again.
    ep.out_fifo.clear();
    ep.out_csr1 = static_cast<std::uint8_t>(ep.out_csr1 & ~u::kOutPktRdy);
  }
  if ((value & u::kOutClrDataToggle) != 0) ep.out_toggle = 0;
  if ((value & u::kOutSentStall) == 0) ep.out_csr1 = static_cast<std::uint8_t>(ep.out_csr1 & ~u::kOutSentStall);
  if ((value & u::kOutSendStall) != 0) {
    ep.out_csr1 |= u::kOutSendStall;
  } else {
    ep.out_csr1 = static_cast<std::uint8_t>(ep.out_csr1 & ~u::kOutSendStall);
  }
}

void UsbDeviceController::Write(std::uint32_t address, std::uint32_t value32, unsigned) {
  std::lock_guard<std::mutex> g(lock_);
  const std::uint8_t value = static_cast<std::uint8_t>(value32);
  unsigned n = 0;
  if (IsFifo(address, &n)) {
    Endpoint& ep = eps_[n];
    // Endpoint 0's FIFO belongs to a setup packet that has arrived: writes racing it are lost.
    if (n == 0 && (ep0_csr_ & (u::kEp0OutPktRdy | u::kEp0SetupEnd)) != 0) return;
    if (ep.in_fifo.size() >= FifoCapacity(n)) {
      ++fifo_faults_;
      return;
    }
    ep.in_fifo.push_back(value);
    return;
  }
  Endpoint& sel = eps_[index_ < kEndpoints ? index_ : 0];
  switch (address) {
    case u::FUNC_ADDR_REG:
      if ((value & u::kAddrUpdate) != 0) {
        pending_address_ = value & u::kAddrMask;
        address_update_ = true;
      } else {
        address_ = value & u::kAddrMask;
      }
      break;
    case u::PWR_REG:
      pwr_ = static_cast<std::uint8_t>((pwr_ & ~u::kPwrSuspendEnable) | (value & u::kPwrSuspendEnable));
      break;
    case u::EP_INT_REG: ep_int_ = static_cast<std::uint8_t>(ep_int_ & ~value); break;
    case u::USB_INT_REG: usb_int_ = static_cast<std::uint8_t>(usb_int_ & ~value); break;
    case u::EP_INT_EN_REG: ep_int_en_ = value & 0x1F; break;
    case u::USB_INT_EN_REG: usb_int_en_ = value & 0x07; break;
    case u::INDEX_REG: index_ = value; break;
    case u::MAXP_REG: sel.maxp = value; break;
    case u::IN_CSR1_REG:
      if (index_ == 0) {
        WriteEp0CsrLocked(value);
      } else if (index_ < kEndpoints) {
        WriteInCsr1Locked(sel, value);
      }
      break;
    case u::IN_CSR2_REG: sel.in_csr2 = value; break;
    case u::OUT_CSR1_REG:
      if (index_ != 0 && index_ < kEndpoints) WriteOutCsr1Locked(sel, value);
      break;
    case u::OUT_CSR2_REG: sel.out_csr2 = value; break;
    default: break;
  }
  UpdateLineLocked();
  ++changes_;
  changed_.notify_all();
}

// --- host --------------------------------------------------------------------------------------------

std::array<std::uint8_t, 8> UsbSetup::Bytes() const {
  return {request_type,
          request,
          static_cast<std::uint8_t>(value & 0xFF),
          static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(index & 0xFF),
          static_cast<std::uint8_t>(index >> 8),
          static_cast<std::uint8_t>(length & 0xFF),
          static_cast<std::uint8_t>(length >> 8)};
}

const char* UsbOutcomeName(UsbOutcome outcome) {
  switch (outcome) {
    case UsbOutcome::kOk: return "ok";
    case UsbOutcome::kStall: return "stall";
    case UsbOutcome::kTimeout: return "timeout";
    case UsbOutcome::kNoResponse: return "no response";
    case UsbOutcome::kProtocolError: return "protocol error";
  }
  return "?";
}

std::chrono::microseconds UsbFrameClock::Period() {
  const std::uint32_t us = platform::kernel::TickMicroseconds() / 10;
  return std::chrono::microseconds(std::max<std::uint32_t>(us, 20));
}

UsbFrameClock::UsbFrameClock() : period_(Period()), start_(Clock::now()) {}

void UsbFrameClock::Sync(Clock::time_point now) {
  const std::chrono::nanoseconds period = Period();
  if (period != period_) {
    // The tick changed: a new frame of the new length starts now.
    period_ = period;
    start_ = now;
    ++frame_;
    used_ = 0;
    return;
  }
  if (now < start_ + period_) return;
  const auto frames = (now - start_) / period_;
  start_ += period_ * frames;
  frame_ += static_cast<std::uint64_t>(frames);
  used_ = 0;
}

std::uint32_t UsbFrameClock::Elapsed(Clock::time_point now) const {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start_).count();
  return static_cast<std::uint32_t>(
      std::clamp<long long>(ns * kBitTimesPerFrame / period_.count(), 0, kBitTimesPerFrame));
}

std::uint64_t UsbFrameClock::Frame() {
  Sync(Clock::now());
  return frame_;
}

bool UsbFrameClock::Fits(std::uint32_t bit_times) {
  const Clock::time_point now = Clock::now();
  Sync(now);
  return std::max(used_, Elapsed(now)) + bit_times <= kUsableBitTimes;
}

void UsbFrameClock::Take(std::uint32_t bit_times) {
  const Clock::time_point now = Clock::now();
  Sync(now);
  used_ = std::min(std::max(used_, Elapsed(now)) + bit_times, kBitTimesPerFrame);
}

UsbFrameClock::Clock::time_point UsbFrameClock::LastStart(std::uint32_t bit_times) {
  Sync(Clock::now());
  const std::uint32_t last = bit_times < kUsableBitTimes ? kUsableBitTimes - bit_times : 0;
  return start_ + period_ * last / kBitTimesPerFrame;
}

UsbFrameClock::Clock::time_point UsbFrameClock::NextFrameStart() {
  Sync(Clock::now());
  return start_ + period_;
}

void UsbFrameClock::WaitForFrame(std::uint64_t frame) {
  for (;;) {
    const Clock::time_point now = Clock::now();
    Sync(now);
    if (frame_ >= frame) return;
    const Clock::time_point at = start_ + period_ * static_cast<std::int64_t>(frame - frame_);
    // A sleep overshoots by tens of microseconds: sleep to shortly before the frame, then yield.
    constexpr auto kMargin = std::chrono::microseconds(150);
    if (at - now > kMargin) {
      std::this_thread::sleep_until(at - kMargin);
    } else {
      std::this_thread::yield();
    }
  }
}

void UsbHost::WaitFrames(std::uint32_t frames) { clock_.WaitForFrame(clock_.Frame() + frames); }

bool UsbHost::WaitAttached(std::uint32_t frames) {
  for (std::uint32_t i = 0; i <= frames; ++i) {
    if (device_.Attached()) return true;
    WaitFrames(1);
  }
  return false;
}

void UsbHost::set_interval(unsigned endpoint, std::uint32_t frames) {
  if (endpoint < interval_.size()) interval_[endpoint] = frames;
}

void UsbHost::WaitAfterNak(std::uint64_t seen, std::uint32_t bit_times) {
  device_.WaitForChange(seen, clock_.LastStart(bit_times));
}

void UsbHost::ResetToggles() {
  in_toggle_.fill(0);
  out_toggle_.fill(0);
}

void UsbHost::Reset() {
  device_.BeginReset();
  WaitFrames(10);
  device_.EndReset();
  address_ = 0;
  ResetToggles();
  WaitFrames(10);
}

UsbTransfer UsbHost::Control(const UsbSetup& setup) { return ControlImpl(setup, 0xFFFFFFFF); }

UsbTransfer UsbHost::ControlPartial(const UsbSetup& setup, std::uint32_t packets) {
  return ControlImpl(setup, packets);
}

bool UsbHost::Transaction(std::uint32_t bits, std::uint32_t interval, std::uint64_t* next_poll, std::uint32_t frames,
                          UsbTransfer* t, const std::function<UsbHandshake(std::uint32_t* used)>& token) {
  const std::uint64_t first = clock_.Frame();
  for (;;) {
    if (interval > 0) {
      clock_.WaitForFrame(*next_poll);
      *next_poll = clock_.Frame() + interval;
    }
    if (!clock_.Fits(bits)) {
      if (clock_.Frame() - first > frames) {
        t->outcome = UsbOutcome::kTimeout;
        return false;
      }
      clock_.WaitForFrame(clock_.Frame() + 1);
      continue;
    }
    const std::uint64_t seen = device_.Changes();
    std::uint32_t used = 0;
    const UsbHandshake h = token(&used);
    clock_.Take(used);
    if (h == UsbHandshake::kAck) return true;
    if (h == UsbHandshake::kStall || h == UsbHandshake::kNone) {
      t->outcome = h == UsbHandshake::kStall ? UsbOutcome::kStall : UsbOutcome::kNoResponse;
      return false;
    }
    ++t->naks;
    if (clock_.Frame() - first >= frames + std::uint64_t{1}) {
      t->outcome = UsbOutcome::kTimeout;
      return false;
    }
    if (interval == 0) WaitAfterNak(seen, bits);
  }
}

bool UsbHost::InTransaction(unsigned endpoint, std::uint32_t frames, std::size_t max_packet,
                            std::vector<std::uint8_t>* packet, unsigned* toggle, UsbTransfer* t) {
  const std::uint32_t interval = endpoint < interval_.size() ? interval_[endpoint] : 0;
  std::uint64_t* next_poll = endpoint < next_poll_.size() ? &next_poll_[endpoint] : nullptr;
  return Transaction(UsbFrameClock::DataBitTimes(max_packet), next_poll != nullptr ? interval : 0, next_poll, frames, t,
                     [&](std::uint32_t* used) {
                       const UsbHandshake h = device_.In(address_, endpoint, packet, toggle);
                       *used = h == UsbHandshake::kAck ? UsbFrameClock::DataBitTimes(packet->size())
                                                       : UsbFrameClock::kHandshakeBitTimes;
                       return h;
                     });
}

bool UsbHost::OutTransaction(unsigned endpoint, const std::uint8_t* data, std::size_t size, unsigned toggle,
                             std::uint32_t frames, UsbTransfer* t) {
  const std::uint32_t bits = UsbFrameClock::DataBitTimes(size);
  return Transaction(bits, 0, nullptr, frames, t, [&](std::uint32_t* used) {
    *used = bits;  // the data packet is on the wire whatever the answer
    return device_.Out(address_, endpoint, data, size, toggle);
  });
}

bool UsbHost::ControlDataIn(const UsbSetup& setup, std::uint32_t max_packets, UsbTransfer* t) {
  unsigned expected = 1;
  for (;;) {
    if (t->packets.size() >= max_packets) return false;
    std::vector<std::uint8_t> packet;
    unsigned toggle = 0;
    if (!InTransaction(0, kDataStageFrames, hw::usbd::kEp0PacketSize, &packet, &toggle, t)) return false;
    if (toggle != expected || packet.size() > hw::usbd::kEp0PacketSize ||
        t->data.size() + packet.size() > setup.length) {
      t->outcome = UsbOutcome::kProtocolError;
      return false;
    }
    expected ^= 1u;
    t->packets.push_back(packet.size());
    t->data.insert(t->data.end(), packet.begin(), packet.end());
    if (packet.size() < hw::usbd::kEp0PacketSize || t->data.size() == setup.length) return true;
  }
}

bool UsbHost::ControlStatusOut(UsbTransfer* t) { return OutTransaction(0, nullptr, 0, 1, kStatusStageFrames, t); }

bool UsbHost::ControlStatusIn(UsbTransfer* t) {
  std::vector<std::uint8_t> packet;
  unsigned toggle = 0;
  if (!InTransaction(0, kStatusStageFrames, 0, &packet, &toggle, t)) return false;
  if (!packet.empty()) {
    t->outcome = UsbOutcome::kProtocolError;
    return false;
  }
  return true;
}

void UsbHost::FollowStandardRequest(const UsbSetup& setup) {
  if ((setup.request_type & 0x60) != 0) return;
  if (setup.request == 5 && setup.request_type == 0) address_ = static_cast<std::uint8_t>(setup.value & 0x7F);
  if (setup.request == 9 && setup.request_type == 0) {
    for (unsigned i = 1; i < in_toggle_.size(); ++i) in_toggle_[i] = out_toggle_[i] = 0;
  }
  if (setup.request == 1 && setup.request_type == 2 && setup.value == 0) {
    const unsigned n = setup.index & 0x0F;
    if (n < in_toggle_.size()) {
      if ((setup.index & 0x80) != 0) {
        in_toggle_[n] = 0;
      } else {
        out_toggle_[n] = 0;
      }
    }
  }
}

UsbTransfer UsbHost::ControlImpl(const UsbSetup& setup, std::uint32_t max_packets) {
  UsbTransfer t;
  const std::uint32_t setup_bits = UsbFrameClock::DataBitTimes(8);
  while (!clock_.Fits(setup_bits)) clock_.WaitForFrame(clock_.Frame() + 1);
  clock_.Take(setup_bits);
  if (device_.Setup(address_, setup.Bytes()) != UsbHandshake::kAck) {
    t.outcome = UsbOutcome::kNoResponse;
    return t;
  }
  const bool in_stage = (setup.request_type & 0x80) != 0 && setup.length > 0;
  // With an IN data stage the status stage is a zero-length OUT, else a zero-length IN.
  const bool done = in_stage ? ControlDataIn(setup, max_packets, &t) && ControlStatusOut(&t) : ControlStatusIn(&t);
  if (done) FollowStandardRequest(setup);
  return t;
}

UsbTransfer UsbHost::ReadIn(unsigned endpoint, std::size_t max_bytes, std::uint32_t frames, std::size_t max_packet) {
  UsbTransfer t;
  while (t.data.size() < max_bytes || t.packets.empty()) {
    std::vector<std::uint8_t> packet;
    unsigned toggle = 0;
    if (!InTransaction(endpoint, frames, max_packet, &packet, &toggle, &t)) return t;
    if (endpoint >= in_toggle_.size() || toggle != in_toggle_[endpoint]) {
      ++t.toggle_errors;  // a repeat the host has already taken: dropped
      continue;
    }
    if (packet.size() > max_packet) {
      t.outcome = UsbOutcome::kProtocolError;
      return t;
    }
    in_toggle_[endpoint] ^= 1u;
    t.packets.push_back(packet.size());
    t.data.insert(t.data.end(), packet.begin(), packet.end());
    if (packet.size() < max_packet) break;
  }
  return t;
}

UsbTransfer UsbHost::ReadPacket(unsigned endpoint, std::uint32_t frames) {
  UsbTransfer t;
  for (;;) {
    std::vector<std::uint8_t> packet;
    unsigned toggle = 0;
    if (!InTransaction(endpoint, frames, hw::usbd::kFifoSize, &packet, &toggle, &t)) return t;
    if (endpoint < in_toggle_.size() && toggle == in_toggle_[endpoint]) {
      in_toggle_[endpoint] ^= 1u;
      t.packets.push_back(packet.size());
      t.data = packet;
      return t;
    }
    ++t.toggle_errors;
  }
}

UsbTransfer UsbHost::WriteOut(unsigned endpoint, const std::vector<std::uint8_t>& data, std::uint32_t frames,
                              bool zero_length_packet) {
  UsbTransfer t;
  std::size_t offset = 0;
  bool need_zlp = data.empty() || (zero_length_packet && data.size() % hw::usbd::kFifoSize == 0);
  while (offset < data.size() || need_zlp) {
    const std::size_t n = std::min<std::size_t>(hw::usbd::kFifoSize, data.size() - offset);
    if (n == 0) need_zlp = false;
    const unsigned toggle = endpoint < out_toggle_.size() ? out_toggle_[endpoint] : 0;
    if (!OutTransaction(endpoint, data.data() + offset, n, toggle, frames, &t)) return t;
    if (endpoint < out_toggle_.size()) out_toggle_[endpoint] ^= 1u;
    t.packets.push_back(n);
    t.data.insert(t.data.end(), data.begin() + static_cast<std::ptrdiff_t>(offset),
                  data.begin() + static_cast<std::ptrdiff_t>(offset + n));
    offset += n;
  }
  return t;
}

UsbEnumeration UsbHost::Enumerate(std::uint8_t address) {
  UsbEnumeration e;
  auto fail = [&e](const char* step, UsbOutcome outcome) {
    e.outcome = outcome;
    e.failed_step = step;
    return e;
  };
  auto get_descriptor = [this](std::uint8_t type, std::uint8_t index, std::uint16_t lang, std::uint16_t length) {
    return Control(UsbSetup{0x80, 6, static_cast<std::uint16_t>((type << 8) | index), lang, length});
  };
  if (!WaitAttached(1000)) return fail("attach", UsbOutcome::kNoResponse);
  Reset();
  UsbTransfer t = get_descriptor(1, 0, 0, 64);
  if (t.outcome != UsbOutcome::kOk) return fail("first device descriptor", t.outcome);
  if (t.data.size() < 8) return fail("first device descriptor", UsbOutcome::kProtocolError);
  Reset();
  t = Control(UsbSetup{0x00, 5, address, 0, 0});
  if (t.outcome != UsbOutcome::kOk) return fail("set address", t.outcome);
  WaitFrames(2);  // SET_ADDRESS recovery
  t = get_descriptor(1, 0, 0, 18);
  if (t.outcome != UsbOutcome::kOk) return fail("device descriptor", t.outcome);
  e.device_descriptor = t.data;
  if (t.data.size() != 18) return fail("device descriptor", UsbOutcome::kProtocolError);
  t = get_descriptor(2, 0, 0, 9);
  if (t.outcome != UsbOutcome::kOk || t.data.size() != 9) return fail("configuration header", t.outcome);
  const std::uint16_t total = static_cast<std::uint16_t>(t.data[2] | (t.data[3] << 8));
  t = get_descriptor(2, 0, 0, total);
  if (t.outcome != UsbOutcome::kOk) return fail("configuration", t.outcome);
  e.configuration = t.data;
  interval_.fill(0);
  for (std::size_t i = 0; i + 1 < e.configuration.size() && e.configuration[i] >= 2; i += e.configuration[i]) {
    const std::uint8_t* d = e.configuration.data() + i;
    const bool interrupt_in =
        d[1] == 5 && d[0] >= 7 && i + 7 <= e.configuration.size() && (d[2] & 0x80) != 0 && (d[3] & 0x03) == 0x03;
    if (interrupt_in) set_interval(d[2] & 0x0F, std::max<std::uint32_t>(d[6], 1));
  }
  t = get_descriptor(3, 0, 0, 255);
  if (t.outcome != UsbOutcome::kOk || t.data.size() < 2) return fail("language ids", t.outcome);
  for (std::size_t i = 2; i + 1 < t.data.size(); i += 2) {
    e.language_ids.push_back(static_cast<std::uint16_t>(t.data[i] | (t.data[i + 1] << 8)));
  }
  const std::uint16_t lang = e.language_ids.empty() ? 0 : e.language_ids.front();
  for (const std::size_t field : {14u, 15u, 16u}) {
    const std::uint8_t index = e.device_descriptor[field];
    std::string text;
    if (index != 0) {
      t = get_descriptor(3, index, lang, 255);
      if (t.outcome != UsbOutcome::kOk) return fail("string", t.outcome);
      for (std::size_t i = 2; i + 1 < t.data.size(); i += 2) text.push_back(static_cast<char>(t.data[i]));
    }
    e.strings.push_back(text);
  }
  const std::uint16_t value = e.configuration.size() > 5 ? e.configuration[5] : std::uint16_t{1};
  t = Control(UsbSetup{0x00, 9, value, 0, 0});
  if (t.outcome != UsbOutcome::kOk) return fail("set configuration", t.outcome);
  return e;
}

}  // namespace sim
