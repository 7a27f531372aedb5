// The board's lines on the I/O ports, shared by several drivers and by the power control: the DSP
// reset and bus hand-over (host-port driver), the I2C segment select (bus driver), the on/off button
// and the power line (power control).
//
// A change is a read-modify-write of the port's data register; it runs with interrupts disabled so
// that two callers changing different lines of one port from different threads never lose each
// other's change. Any thread; not from an ISR.
#pragma once

#include "platform/hw_registers.h"

// Drives an output line high or low.
void board_set_line(hw::Line line, bool high);
// The level of a line as the port reads it.
bool board_line_high(hw::Line line);

// The on/off button is held down (its line reads low while pressed).
bool board_button_pressed();
// Drops the board's power line: the power supply switches the board off.
void board_power_off();
