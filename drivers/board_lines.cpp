#include "drivers/board_lines.h"

#include "drivers/board_registers.h"
#include "platform/kernel.h"
#include "platform/regbus.h"

void board_set_port_e_line(unsigned line, bool high) {
  cyg_interrupt_disable();
  const std::uint32_t v = platform::regbus::Read32(board_regs::GPEDAT);
  const std::uint32_t bit = 1u << line;
  platform::regbus::Write32(board_regs::GPEDAT, high ? (v | bit) : (v & ~bit));
  cyg_interrupt_enable();
}
