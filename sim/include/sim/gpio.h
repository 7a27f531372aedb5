// The board's I/O ports and external-interrupt block (register range 0x56000000).
//
// Ports A to H: GPnCON (pin function), GPnDAT (output latch on write; pin levels on read), GPnUP.
// A pin configured as an output drives its line from the latch; any other pin reads the level the
// board puts on it (SetInput; each line has a board default, see Board). Observers see every change of
// a line's level, whoever caused it.
//
// External interrupts EINT0-7 (pins GPF0-7) and EINT8-23 (GPG0-15), active while the pin's function is
// "external interrupt": EXTINT0-2 give each its trigger (low level, high level, falling, rising or both
// edges). EINT0-3 drive controller vectors 0-3 directly: a level source as a level, an edge as a
// one-shot raise. EINT4-23 latch into EINTPEND (also while masked; a level source keeps its bit set
// while active) and assert vector 4 (EINT4-7) or 5 (EINT8-23) while an unmasked bit is pending.
// Writing 1 to an EINTPEND bit clears it.
//
// Thread safety: every call may come from any thread (drivers through the register bus, the board's
// control API, other models). Observers run on the caller's thread after the model's lock is released.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/hw_registers.h"
#include "platform/regbus.h"

namespace sim {

using Port = hw::gpio::Port;
constexpr unsigned kPortCount = hw::gpio::kPortCount;

class Gpio final : public platform::regbus::Model {
 public:
  static constexpr std::uint32_t kBase = hw::gpio::kBase;
  static constexpr std::uint32_t kSize = hw::gpio::kSize;

  using Observer = std::function<void(bool level)>;

  Gpio();

  // Board side: the level the board drives onto a pin that is not an output.
  void SetInput(Port port, unsigned pin, bool level);
  // The line's level as the board sees it.
  bool Level(Port port, unsigned pin);
  // Sets a pin's function and latch directly, as the boot loader leaves it (board set-up only).
  void Preset(Port port, unsigned pin, unsigned function, bool latch);
  // Called after every change of the line's level. Add observers before the firmware runs.
  void Observe(Port port, unsigned pin, Observer observer);

  // The same, for a named board line.
  void SetInput(hw::Line line, bool level) { SetInput(line.port, line.pin, level); }
  bool Level(hw::Line line) { return Level(line.port, line.pin); }
  void Preset(hw::Line line, unsigned function, bool latch) { Preset(line.port, line.pin, function, latch); }
  void Observe(hw::Line line, Observer observer) { Observe(line.port, line.pin, std::move(observer)); }

  std::uint32_t Read(std::uint32_t address, unsigned width) override;
  void Write(std::uint32_t address, std::uint32_t value, unsigned width) override;

 private:
  struct PortState {
    std::uint32_t con = 0;
    std::uint32_t dat = 0;  // output latch
    std::uint32_t up = 0;
    std::uint32_t input = 0;  // levels driven by the board
  };
  struct Change {
    Port port;
    unsigned pin;
    bool level;
  };

  unsigned FunctionLocked(Port port, unsigned pin) const;
  bool LevelLocked(Port port, unsigned pin) const;
  std::uint32_t LevelsLocked(Port port) const;
  // Applies a change of the pin levels of `port` from `before`: external-interrupt detection and the
  // list of observer calls to make.
  void AfterLevelsChangedLocked(Port port, std::uint32_t before, std::vector<Change>& changes);
  void EdgeOrLevelLocked(unsigned eint, bool old_level, bool new_level, bool level_changed);
  void ReevaluateLevelsLocked();
  unsigned TriggerLocked(unsigned eint) const;
  bool EintEnabledLocked(unsigned eint) const;
  bool EintLevelLocked(unsigned eint) const;
  void UpdateVectorsLocked();
  void Notify(const std::vector<Change>& changes);

  std::mutex lock_;
  std::array<PortState, kPortCount> ports_{};
  std::array<std::uint32_t, 3> extint_{};
  std::uint32_t eintmask_ = hw::gpio::kEintSubSources;
  std::uint32_t eintpend_ = 0;
  std::uint32_t other_[16]{};  // MISCCR, DCLKCON, EINTFLT0-3, GSTATUS0-4: stored, no effect
  std::array<std::array<std::vector<Observer>, 32>, kPortCount> observers_;
};

}  // namespace sim
