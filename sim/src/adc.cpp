// The ADC model (see sim/adc.h).
#include "sim/adc.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {

using namespace hw::adc;

}  // namespace

void Adc::SetInput(unsigned channel, std::uint16_t code) {
  if (channel >= kChannels) return;
  std::lock_guard<std::mutex> g(lock_);
  inputs_[channel] = std::min<std::uint16_t>(code, 1023);
}

void Adc::SetVoltage(unsigned channel, double volts) {
  const double code = std::lround(std::clamp(volts, 0.0, kReferenceVolts) / kReferenceVolts * 1023.0);
  SetInput(channel, static_cast<std::uint16_t>(code));
}

void Adc::HoldConversions(bool hold) {
  std::lock_guard<std::mutex> g(lock_);
  hold_ = hold;
  if (!hold_ && converting_) FinishLocked();
}

std::uint64_t Adc::Conversions() {
  std::lock_guard<std::mutex> g(lock_);
  return conversions_;
}

bool Adc::Converting() {
  std::lock_guard<std::mutex> g(lock_);
  return converting_;
}

void Adc::FinishLocked() {
  converting_ = false;
  ended_ = true;
  dat0_ = sample_ & kDatValue.Mask();
}

std::uint32_t Adc::Read(std::uint32_t address, unsigned) {
  std::lock_guard<std::mutex> g(lock_);
  switch (address) {
    case ADCCON: return (con_ & ~(kConStart | kConEndOfConversion)) | (ended_ ? kConEndOfConversion : 0u);
    case ADCTSC: return tsc_;
    case ADCDLY: return dly_;
    case ADCDAT0: return dat0_;
    case ADCDAT1: return dat1_;
    default: return 0;
  }
}

void Adc::Write(std::uint32_t address, std::uint32_t value, unsigned) {
  std::lock_guard<std::mutex> g(lock_);
  switch (address) {
    case ADCCON:
      con_ = value & kConWritable.Mask();
      if ((value & kConStart) && !converting_) {
        ++conversions_;
        ended_ = false;
        // A conversion needs the prescaler's clock; in standby, or without it, it never ends.
        if ((con_ & kConPrescalerEnable) && !(con_ & kConStandby)) {
          converting_ = true;
          sample_ = kTscMode.Get(tsc_) != 0 ? 0 : inputs_[kConChannel.Get(con_)];
          if (!hold_) FinishLocked();
        }
      }
      break;
    case ADCTSC: tsc_ = value & kTscWritable.Mask(); break;
    case ADCDLY: dly_ = value & kDlyWritable.Mask(); break;
    default: break;
  }
}

}  // namespace sim
