// The ADC model (see sim/adc.h).
#include "sim/adc.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {

enum : std::uint32_t {
  kADCCON = Adc::kBase + 0x0,
  kADCTSC = Adc::kBase + 0x4,
  kADCDLY = Adc::kBase + 0x8,
  kADCDAT0 = Adc::kBase + 0xC,
  kADCDAT1 = Adc::kBase + 0x10,
};

enum : std::uint32_t {
  kStart = 1u << 0,
  kStandby = 1u << 2,
  kPrescalerEnable = 1u << 14,
  kEndOfConversion = 1u << 15,
};

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
  dat0_ = sample_ & 0x3FFu;
}

std::uint32_t Adc::Read(std::uint32_t address, unsigned) {
  std::lock_guard<std::mutex> g(lock_);
  switch (address) {
    case kADCCON: return (con_ & ~(kStart | kEndOfConversion)) | (ended_ ? kEndOfConversion : 0u);
    case kADCTSC: return tsc_;
    case kADCDLY: return dly_;
    case kADCDAT0: return dat0_;
    case kADCDAT1: return dat1_;
    default: return 0;
  }
}

void Adc::Write(std::uint32_t address, std::uint32_t value, unsigned) {
  std::lock_guard<std::mutex> g(lock_);
  switch (address) {
    case kADCCON:
      con_ = value & 0x7FFFu;
      if ((value & kStart) && !converting_) {
        ++conversions_;
        ended_ = false;
        // A conversion needs the prescaler's clock; in standby, or without it, it never ends.
        if ((con_ & kPrescalerEnable) && !(con_ & kStandby)) {
          converting_ = true;
          sample_ = (tsc_ & 7u) != 0 ? 0 : inputs_[(con_ >> 3) & 7u];
          if (!hold_) FinishLocked();
        }
      }
      break;
    case kADCTSC: tsc_ = value & 0x1FFu; break;
    case kADCDLY: dly_ = value & 0xFFFFu; break;
    default: break;
  }
}

}  // namespace sim
