// The IIC controller model (see sim/iic_controller.h).
#include "sim/iic_controller.h"

#include "platform/hw_registers.h"
#include "platform/interrupt.h"

namespace sim {
namespace {

using namespace hw::iic;

// IICSTAT bits kept as written; busy and the acknowledge are the controller's own.
constexpr std::uint32_t kStatKept = kStatMode.Mask() | kStatOutputEnable;

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
  const std::uint32_t base = (con_ & kConClockPclk512) ? kPclkHz / 512 : kPclkHz / 16;
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
  if (!busy_ || !(stat_ & kStatOutputEnable)) return;
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
    case IICCON: return con_ | (pending_ ? kConPending : 0u);
    case IICSTAT: return (stat_ & kStatKept) | (busy_ ? kStatBusyStart : 0u) | (nack_ ? kStatNack : 0u);
    case IICADD: return add_;
    case IICDS: return ds_;
    default: return 0;
  }
}

void IicController::Write(std::uint32_t address, std::uint32_t value, unsigned) {
  std::lock_guard<std::mutex> g(lock_);
  switch (address) {
    case IICCON: {
      const bool was_pending = pending_;
      con_ = value & ~kConPending & 0xFFu;  // the pending bit is set by the controller only
      if (was_pending && !(value & kConPending)) {
        pending_ = false;
        ResumeLocked();
      }
      break;
    }
    case IICSTAT: {
      stat_ = value & kStatKept;
      if (value & kStatBusyStart) {
        if (!busy_) {
          if (stat_ & kStatOutputEnable) StartLocked();
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
    case IICADD: add_ = value & 0xFFu; break;
    case IICDS:
      ds_ = value & 0xFFu;
      ds_loaded_ = true;
      break;
    default: break;
  }
}

}  // namespace sim
