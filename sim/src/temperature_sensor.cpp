// The temperature sensor model (see sim/temperature_sensor.h).
#include "sim/temperature_sensor.h"

#include <algorithm>
#include <cmath>

#include "platform/hw_registers.h"

namespace sim {
namespace {

using namespace hw::temp_sensor;

std::int16_t ToRegister(double celsius) {
  const double c = std::clamp(celsius, TemperatureSensor::kMinCelsius, TemperatureSensor::kMaxCelsius);
  const int halves = static_cast<int>(std::floor(c * 2.0));
  return static_cast<std::int16_t>(halves * static_cast<int>(kUnitsPerDegree / 2));
}

}  // namespace

TemperatureSensor::TemperatureSensor(std::function<void(bool level)> output) : output_(std::move(output)) {}

void TemperatureSensor::SetTemperature(double celsius) {
  std::lock_guard<std::mutex> g(lock_);
  world_celsius_ = celsius;
  ConvertLocked();
}

std::int16_t TemperatureSensor::RegisterValue(unsigned reg) {
  std::lock_guard<std::mutex> g(lock_);
  switch (reg) {
    case kPointerTemperature: return temp_;
    case kPointerConfiguration: return config_;
    case kPointerHysteresis: return hyst_;
    case kPointerOverTemperature: return tos_;
    default: return 0;
  }
}

bool TemperatureSensor::OutputActive() {
  std::lock_guard<std::mutex> g(lock_);
  return active_;
}

unsigned TemperatureSensor::QueueLocked() const {
  static constexpr unsigned kQueue[4] = {1, 2, 4, 6};
  return kQueue[kConfigFaultQueue.Get(config_)];
}

void TemperatureSensor::SetActiveLocked(bool active) {
  const bool polarity_high = (config_ & kConfigPolarityHigh) != 0;
  const bool old_level = polarity_high ? active_ : !active_;
  active_ = active;
  const bool level = polarity_high ? active_ : !active_;
  if (level != old_level && output_) output_(level);
}

void TemperatureSensor::ConvertLocked() {
  if (config_ & kConfigShutdown) return;
  temp_ = ToRegister(world_celsius_);
  const bool above = temp_ > tos_;
  const bool below = temp_ < hyst_;
  over_ = above ? over_ + 1 : 0;
  under_ = below ? under_ + 1 : 0;
  const unsigned queue = QueueLocked();
  if (config_ & kConfigInterruptMode) {
    if (interrupt_armed_high_ && over_ >= queue) {
      interrupt_armed_high_ = false;
      SetActiveLocked(true);
    } else if (!interrupt_armed_high_ && under_ >= queue) {
      interrupt_armed_high_ = true;
      SetActiveLocked(true);
    }
  } else {
    if (over_ >= queue) SetActiveLocked(true);
    if (under_ >= queue) SetActiveLocked(false);
  }
}

bool TemperatureSensor::Start(bool read, std::uint32_t) {
  std::lock_guard<std::mutex> g(lock_);
  write_index_ = 0;
  read_index_ = 0;
  if (read && (config_ & kConfigInterruptMode)) SetActiveLocked(false);  // interrupt mode: a read clears the output
  return true;
}

bool TemperatureSensor::Write(std::uint8_t byte) {
  std::lock_guard<std::mutex> g(lock_);
  if (write_index_ == 0) {
    pointer_ = kPointer.Get(byte);
    write_index_ = 1;
    return true;
  }
  switch (pointer_) {
    case kPointerTemperature: break;  // read only
    case kPointerConfiguration:
      if (write_index_ == 1) {
        const bool old_polarity = (config_ & kConfigPolarityHigh) != 0;
        const bool old_level = old_polarity ? active_ : !active_;
        config_ = byte & kConfigWritable;
        const bool level = (config_ & kConfigPolarityHigh) ? active_ : !active_;
        if (level != old_level && output_) output_(level);
        over_ = under_ = 0;
        ConvertLocked();
      }
      break;
    default:
      if (write_index_ == 1) {
        msb_ = byte;
      } else if (write_index_ == 2) {
        const auto value = static_cast<std::int16_t>(((msb_ << 8) | byte) & static_cast<std::int16_t>(kResolutionMask));
        (pointer_ == kPointerHysteresis ? hyst_ : tos_) = value;
        ConvertLocked();
      }
      break;
  }
  ++write_index_;
  return true;
}

std::uint8_t TemperatureSensor::Read(bool) {
  std::lock_guard<std::mutex> g(lock_);
  const unsigned k = read_index_++;
  if (pointer_ == kPointerConfiguration) return config_;
  const std::int16_t v = pointer_ == kPointerTemperature ? temp_ : pointer_ == kPointerHysteresis ? hyst_ : tos_;
  const auto u = static_cast<std::uint16_t>(v);
  return static_cast<std::uint8_t>(k % 2 == 0 ? u >> 8 : u & 0xFF);
}

void TemperatureSensor::Stop() {
  std::lock_guard<std::mutex> g(lock_);
  write_index_ = 0;
}

}  // namespace sim
