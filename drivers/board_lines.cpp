#include "drivers/board_lines.h"

#include "platform/kernel.h"
#include "platform/regbus.h"

void board_set_line(hw::Line line, bool high) {
  const std::uint32_t dat = hw::gpio::Dat(line.port);
  cyg_interrupt_disable();
  const std::uint32_t v = platform::regbus::Read32(dat);
  platform::regbus::Write32(dat, high ? (v | line.Mask()) : (v & ~line.Mask()));
  cyg_interrupt_enable();
}

bool board_line_high(hw::Line line) { return (platform::regbus::Read32(hw::gpio::Dat(line.port)) & line.Mask()) != 0; }

bool board_button_pressed() { return !board_line_high(hw::line::kOnOffButton); }

void board_power_off() { board_set_line(hw::line::kPowerOn, false); }
