// The IIC controller model (see sim/iic_controller.h).
#include "sim/iic_controller.h"

#include "platform/interrupt.h"

namespace sim {
namespace {

enum : std::uint32_t {
  kIICCON = IicController::kBase + 0x0,
  kIICSTAT = IicController::kBase + 0x4,
  kIICADD = IicController::kBase + 0x8,
  kIICDS = IicController::kBase + 0xC,
};

enum : std::uint32_t {
  kConAckEnable = 1u << 7,
  kConClockSource = 1u << 6,  // 1: PCLK/512, 0: PCLK/16
  kConIrqEnable = 1u << 5,
  kConPending = 1u << 4,
  kStatBusy = 1u << 5,
  kStatOutput = 1u << 4,
  kStatKept = 0xC0u | kStatOutput,
};

}  // namespace

void IicController::Attach(unsigned segment, std::uint8_t address, I2cSlave* device) {
  if (segment >= kSegments) return;
  std::lock_guard<std::mutex> g(lock_);
  if (device == nullptr) {
    devices_[segment].erase(address & 0x7F);
  } else {
    devices_[segment][address & 0x7F] = device;
  }
}

void IicController::SetSegmentSelect(bool level) {
  std::lock_guard<std::mutex> g(lock_);
  segment_select_ = level;
}

void IicController::WithholdAckUntil(unsigned segment, std::uint8_t address, Clock::time_point until) {
  std::lock_guard<std::mutex> g(lock_);
  faults_[{segment, static_cast<std::uint8_t>(address & 0x7F)}].until = until;
}

void IicController::WithholdAckAttempts(unsigned segment, std::uint8_t address, unsigned attempts,
                                        Direction direction) {
  std::lock_guard<std::mutex> g(lock_);
  Fault& f = faults_[{segment, static_cast<std::uint8_t>(address & 0x7F)}];
  f.attempts = attempts;
  f.direction = direction;
}

void IicController::ClearFaults() {
  std::lock_guard<std::mutex> g(lock_);
  faults_.clear();
}

std::uint64_t IicController::AddressPhases(unsigned segment, std::uint8_t address, Direction direction) {
  std::lock_guard<std::mutex> g(lock_);
  auto it = address_phases_.find({segment, static_cast<std::uint8_t>(address & 0x7F)});
  if (it == address_phases_.end()) return 0;
  switch (direction) {
    case Direction::kWrite: return it->second[0];
    case Direction::kRead: return it->second[1];
    default: return it->second[0] + it->second[1];
  }
}

std::uint32_t IicController::BusHz() {
  std::lock_guard<std::mutex> g(lock_);
  return BusHzLocked();
}

bool IicController::Busy() {
  std::lock_guard<std::mutex> g(lock_);
  return busy_;
}

std::uint32_t IicController::BusHzLocked() const {
  const std::uint32_t base = (con_ & kConClockSource) ? kPclkHz / 512 : kPclkHz / 16;
  return base / ((con_ & 0xFu) + 1);
}

void IicController::SetPendingLocked() {
  pending_ = true;
  if (con_ & kConIrqEnable) platform::interrupts::RaiseSource(kVector);
}

void IicController::StartLocked() {
  segment_ = segment_select_ ? 1 : 0;
  const std::uint8_t byte = static_cast<std::uint8_t>(ds_);
  const std::uint8_t address = byte >> 1;
  const bool read = (byte & 1u) != 0;
  const std::pair<unsigned, std::uint8_t> key{segment_, address};
  ++address_phases_[key][read ? 1 : 0];

  bool withheld = false;
  if (auto f = faults_.find(key); f != faults_.end()) {
    const Direction d = f->second.direction;
    const bool applies = d == Direction::kAny || (d == Direction::kRead) == read;
    if (f->second.attempts > 0 && applies) {
      --f->second.attempts;
      withheld = true;
    } else if (Clock::now() < f->second.until) {
      withheld = true;
    }
  }
  I2cSlave* device = nullptr;
  if (auto d = devices_[segment_].find(address); d != devices_[segment_].end()) device = d->second;
  const bool ack = !withheld && device != nullptr && device->Start(read, BusHzLocked());

  current_ = ack ? device : nullptr;
  nack_ = !ack;
  busy_ = true;
  ds_loaded_ = false;
  rx_ended_ = false;
  start_requested_ = false;
  stop_requested_ = false;
  SetPendingLocked();
}

void IicController::StopLocked() {
  if (current_ != nullptr) current_->Stop();
  current_ = nullptr;
  busy_ = false;
  ds_loaded_ = false;
  rx_ended_ = false;
  start_requested_ = false;
  stop_requested_ = false;
}

void IicController::ResumeLocked() {
  if (stop_requested_) {
    StopLocked();
    return;
  }
  if (start_requested_) {
    StartLocked();
    return;
  }
  if (!busy_ || !(stat_ & kStatOutput)) return;
  const unsigned mode = (stat_ >> 6) & 3u;
  if (mode == 3) {  // master transmit
    if (!ds_loaded_) return;
    const bool ack = current_ != nullptr && current_->Write(static_cast<std::uint8_t>(ds_));
    nack_ = !ack;
    ds_loaded_ = false;
    SetPendingLocked();
  } else if (mode == 2) {  // master receive
    if (rx_ended_) return;
    const bool master_acks = (con_ & kConAckEnable) != 0;
    ds_ = current_ != nullptr ? current_->Read(master_acks) : 0xFFu;
    rx_ended_ = !master_acks;
    SetPendingLocked();
  }
}

std::uint32_t IicController::Read(std::uint32_t address, unsigned) {
  std::lock_guard<std::mutex> g(lock_);
  switch (address) {
    case kIICCON: return con_ | (pending_ ? kConPending : 0u);
    case kIICSTAT: return (stat_ & kStatKept) | (busy_ ? kStatBusy : 0u) | (nack_ ? 1u : 0u);
    case kIICADD: return add_;
    case kIICDS: return ds_;
    default: return 0;
  }
}

void IicController::Write(std::uint32_t address, std::uint32_t value, unsigned) {
  std::lock_guard<std::mutex> g(lock_);
  switch (address) {
    case kIICCON: {
      const bool was_pending = pending_;
      con_ = value & ~kConPending & 0xFFu;  // the pending bit is set by the controller only
      if (was_pending && !(value & kConPending)) {
        pending_ = false;
        ResumeLocked();
      }
      break;
    }
    case kIICSTAT: {
      stat_ = value & kStatKept;
      if (value & kStatBusy) {
        if (!busy_) {
          if (stat_ & kStatOutput) StartLocked();
        } else if (pending_) {
          start_requested_ = true;
          stop_requested_ = false;
        } else {
          StartLocked();
        }
      } else if (busy_) {
        if (pending_) {
          stop_requested_ = true;
          start_requested_ = false;
        } else {
          StopLocked();
        }
      }
      break;
    }
    case kIICADD: add_ = value & 0xFFu; break;
    case kIICDS:
      ds_ = value & 0xFFu;
      ds_loaded_ = true;
      break;
    default: break;
  }
}

}  // namespace sim
