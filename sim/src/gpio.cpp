// I/O ports and external interrupts of the board (see sim/gpio.h).
#include "sim/gpio.h"

#include "platform/interrupt.h"

namespace sim {
namespace {

enum : unsigned { kFnInput = 0, kFnOutput = 1, kFnSpecial = 2 };

// Trigger codes of EXTINTn fields.
bool IsLevelTrigger(unsigned code) { return code < 2; }
bool ActiveLevel(unsigned code) { return code == 1; }
bool FallingEdge(unsigned code) { return code == 2 || code == 3 || code >= 6; }
bool RisingEdge(unsigned code) { return code == 4 || code == 5 || code >= 6; }

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
  return (p.con >> (2 * pin)) & 3u;
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

unsigned Gpio::TriggerLocked(unsigned eint) const { return (extint_[eint / 8] >> ((eint % 8) * 4)) & 7u; }

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
  platform::interrupts::SetSourceLevel(4, (ready & 0x000000F0u) != 0);
  platform::interrupts::SetSourceLevel(5, (ready & 0x00FFFF00u) != 0);
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
      p.con = (p.con & ~(3u << (2 * pin))) | ((function & 3u) << (2 * pin));
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
  if (off < 0x80) {
    const Port port = static_cast<Port>(off / 0x10);
    const PortState& p = ports_[Index(port)];
    switch (off % 0x10) {
      case 0x0: return p.con;
      case 0x4: return LevelsLocked(port);
      case 0x8: return p.up;
      default: return 0;
    }
  }
  switch (address) {
    case kEXTINT0: return extint_[0];
    case kEXTINT0 + 4: return extint_[1];
    case kEXTINT0 + 8: return extint_[2];
    case kEINTMASK: return eintmask_;
    case kEINTPEND: return eintpend_;
    default: return other_[((off - 0x80) / 4) & 15];
  }
}

void Gpio::Write(std::uint32_t address, std::uint32_t value, unsigned) {
  std::vector<Change> changes;
  {
    std::lock_guard<std::mutex> g(lock_);
    const std::uint32_t off = address - kBase;
    if (off < 0x80) {
      const Port port = static_cast<Port>(off / 0x10);
      PortState& p = ports_[Index(port)];
      const std::uint32_t before = LevelsLocked(port);
      switch (off % 0x10) {
        case 0x0: p.con = value; break;
        case 0x4: p.dat = value; break;
        case 0x8: p.up = value; break;
        default: break;
      }
      AfterLevelsChangedLocked(port, before, changes);
    } else {
      switch (address) {
        case kEXTINT0: extint_[0] = value; break;
        case kEXTINT0 + 4: extint_[1] = value; break;
        case kEXTINT0 + 8: extint_[2] = value; break;
        case kEINTMASK: eintmask_ = value & 0x00FFFFF0u; break;
        case kEINTPEND: eintpend_ &= ~(value & 0x00FFFFF0u); break;
        default: other_[((off - 0x80) / 4) & 15] = value; break;
      }
      ReevaluateLevelsLocked();
    }
  }
  Notify(changes);
}

}  // namespace sim
