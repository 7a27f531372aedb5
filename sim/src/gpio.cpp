// I/O ports and external interrupts of the board (see sim/gpio.h).
#include "sim/gpio.h"

#include "platform/interrupt.h"

namespace sim {
namespace {

using namespace hw::gpio;

constexpr unsigned kFnInput = kFunctionInput;
constexpr unsigned kFnOutput = kFunctionOutput;
constexpr unsigned kFnSpecial = kFunctionExternalInterrupt;

// The port registers end where the external-interrupt block's begin.
constexpr std::uint32_t kPortsEnd = kPortCount * kPortStride;
static_assert(kBase + kPortsEnd <= EXTINT0);

// EINT4-7 share vector 4, EINT8-23 vector 5.
constexpr std::uint32_t kEint4To7 = 0x000000F0;
constexpr std::uint32_t kEint8To23 = 0x00FFFF00;
static_assert((kEint4To7 | kEint8To23) == kEintSubSources);

// Trigger codes of EXTINTn fields (3 and 5 are further edge codes; 7 is both edges like 6).
bool IsLevelTrigger(unsigned code) { return code == kTriggerLowLevel || code == kTriggerHighLevel; }
bool ActiveLevel(unsigned code) { return code == kTriggerHighLevel; }
bool FallingEdge(unsigned code) { return code == kTriggerFallingEdge || code == 3 || code >= kTriggerBothEdges; }
bool RisingEdge(unsigned code) { return code == kTriggerRisingEdge || code == 5 || code >= kTriggerBothEdges; }

constexpr unsigned kEintCount = 24;

Port EintPort(unsigned eint) { return eint < 8 ? Port::F : Port::G; }
unsigned EintPin(unsigned eint) { return eint < 8 ? eint : eint - 8; }

unsigned Index(Port p) { return static_cast<unsigned>(p); }

}  // namespace

Gpio::Gpio() {
  // Every line not driven by the board floats high (pull-ups).
  for (auto& p : ports_) p.input = 0xFFFFFFFFu;
}

unsigned Gpio::FunctionLocked(Port port, unsigned pin) const {
  const PortState& p = ports_[Index(port)];
  if (port == Port::A) return (p.con >> pin) & 1u ? kFnSpecial : kFnOutput;
  if (pin >= 16) return kFnInput;  // ports B to H have at most 16 pins, two CON bits each
  return PinFunction(pin).Get(p.con);
}

bool Gpio::LevelLocked(Port port, unsigned pin) const {
  const PortState& p = ports_[Index(port)];
  const std::uint32_t bit = 1u << pin;
  return FunctionLocked(port, pin) == kFnOutput ? (p.dat & bit) != 0 : (p.input & bit) != 0;
}

std::uint32_t Gpio::LevelsLocked(Port port) const {
  std::uint32_t v = 0;
  for (unsigned pin = 0; pin < 32; ++pin) {
    if (LevelLocked(port, pin)) v |= 1u << pin;
  }
  return v;
}

unsigned Gpio::TriggerLocked(unsigned eint) const { return Trigger(eint).Get(extint_[eint / 8]); }

bool Gpio::EintEnabledLocked(unsigned eint) const {
  return FunctionLocked(EintPort(eint), EintPin(eint)) == kFnSpecial;
}

bool Gpio::EintLevelLocked(unsigned eint) const { return LevelLocked(EintPort(eint), EintPin(eint)); }

void Gpio::EdgeOrLevelLocked(unsigned eint, bool old_level, bool new_level, bool level_changed) {
  if (!EintEnabledLocked(eint)) return;
  const unsigned code = TriggerLocked(eint);
  if (IsLevelTrigger(code)) return;  // levels are handled by ReevaluateLevelsLocked
  if (!level_changed) return;
  const bool edge = (old_level && !new_level && FallingEdge(code)) || (!old_level && new_level && RisingEdge(code));
  if (!edge) return;
  if (eint < 4) {
    platform::interrupts::RaiseSource(eint);
  } else {
    eintpend_ |= 1u << eint;
  }
}

void Gpio::ReevaluateLevelsLocked() {
  for (unsigned eint = 0; eint < kEintCount; ++eint) {
    const bool enabled = EintEnabledLocked(eint);
    const unsigned code = TriggerLocked(eint);
    const bool active = enabled && IsLevelTrigger(code) && EintLevelLocked(eint) == ActiveLevel(code);
    if (eint < 4) {
      platform::interrupts::SetSourceLevel(eint, active);
    } else if (active) {
      eintpend_ |= 1u << eint;
    }
  }
  UpdateVectorsLocked();
}

void Gpio::UpdateVectorsLocked() {
  const std::uint32_t ready = eintpend_ & ~eintmask_;
  platform::interrupts::SetSourceLevel(4, (ready & kEint4To7) != 0);
  platform::interrupts::SetSourceLevel(5, (ready & kEint8To23) != 0);
}

void Gpio::AfterLevelsChangedLocked(Port port, std::uint32_t before, std::vector<Change>& changes) {
  const std::uint32_t after = LevelsLocked(port);
  const std::uint32_t changed = before ^ after;
  if (port == Port::F || port == Port::G) {
    for (unsigned eint = 0; eint < kEintCount; ++eint) {
      if (EintPort(eint) != port) continue;
      const std::uint32_t bit = 1u << EintPin(eint);
      EdgeOrLevelLocked(eint, (before & bit) != 0, (after & bit) != 0, (changed & bit) != 0);
    }
  }
  ReevaluateLevelsLocked();
  for (unsigned pin = 0; pin < 32; ++pin) {
    if ((changed & (1u << pin)) && !observers_[Index(port)][pin].empty()) {
      changes.push_back(Change{port, pin, (after & (1u << pin)) != 0});
    }
  }
}

void Gpio::Notify(const std::vector<Change>& changes) {
  for (const Change& c : changes) {
    for (const Observer& o : observers_[Index(c.port)][c.pin]) o(c.level);
  }
}

void Gpio::SetInput(Port port, unsigned pin, bool level) {
  if (pin >= 32) return;
  std::vector<Change> changes;
  {
    std::lock_guard<std::mutex> g(lock_);
    PortState& p = ports_[Index(port)];
    const std::uint32_t before = LevelsLocked(port);
    if (level) {
      p.input |= 1u << pin;
    } else {
      p.input &= ~(1u << pin);
    }
    AfterLevelsChangedLocked(port, before, changes);
  }
  Notify(changes);
}

bool Gpio::Level(Port port, unsigned pin) {
  std::lock_guard<std::mutex> g(lock_);
  return pin < 32 && LevelLocked(port, pin);
}

void Gpio::Preset(Port port, unsigned pin, unsigned function, bool latch) {
  if (pin >= 32) return;
  std::vector<Change> changes;
  {
    std::lock_guard<std::mutex> g(lock_);
    PortState& p = ports_[Index(port)];
    const std::uint32_t before = LevelsLocked(port);
    if (port == Port::A) {
      p.con = (p.con & ~(1u << pin)) | ((function == kFnOutput ? 0u : 1u) << pin);
    } else if (pin < 16) {
      p.con = PinFunction(pin).Set(p.con, function);
    }
    p.dat = latch ? (p.dat | (1u << pin)) : (p.dat & ~(1u << pin));
    AfterLevelsChangedLocked(port, before, changes);
  }
  Notify(changes);
}

void Gpio::Observe(Port port, unsigned pin, Observer observer) {
  if (pin >= 32) return;
  std::lock_guard<std::mutex> g(lock_);
  observers_[Index(port)][pin].push_back(std::move(observer));
}

std::uint32_t Gpio::Read(std::uint32_t address, unsigned) {
  std::lock_guard<std::mutex> g(lock_);
  const std::uint32_t off = address - kBase;
  if (off < kPortsEnd) {
    const Port port = static_cast<Port>(off / kPortStride);
    const PortState& p = ports_[Index(port)];
    switch (off % kPortStride) {
      case kConOffset: return p.con;
      case kDatOffset: return LevelsLocked(port);
      case kUpOffset: return p.up;
      default: return 0;
    }
  }
  switch (address) {
    case EXTINT0: return extint_[0];
    case EXTINT0 + 4: return extint_[1];
    case EXTINT0 + 8: return extint_[2];
    case EINTMASK: return eintmask_;
    case EINTPEND: return eintpend_;
    default: return other_[((off - kPortsEnd) / 4) & 15];
  }
}

void Gpio::Write(std::uint32_t address, std::uint32_t value, unsigned) {
  std::vector<Change> changes;
  {
    std::lock_guard<std::mutex> g(lock_);
    const std::uint32_t off = address - kBase;
    if (off < kPortsEnd) {
      const Port port = static_cast<Port>(off / kPortStride);
      PortState& p = ports_[Index(port)];
      const std::uint32_t before = LevelsLocked(port);
      switch (off % kPortStride) {
        case kConOffset: p.con = value; break;
        case kDatOffset: p.dat = value; break;
        case kUpOffset: p.up = value; break;
        default: break;
      }
      AfterLevelsChangedLocked(port, before, changes);
    } else {
      switch (address) {
        case EXTINT0: extint_[0] = value; break;
        case EXTINT0 + 4: extint_[1] = value; break;
        case EXTINT0 + 8: extint_[2] = value; break;
        case EINTMASK: eintmask_ = value & kEintSubSources; break;
        case EINTPEND: eintpend_ &= ~(value & kEintSubSources); break;
        default: other_[((off - kPortsEnd) / 4) & 15] = value; break;
      }
      ReevaluateLevelsLocked();
    }
  }
  Notify(changes);
}

}  // namespace sim
