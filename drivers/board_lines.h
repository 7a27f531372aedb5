// Output lines of port E, shared by several drivers (DSP reset and bus hand-over by the host-port
// driver, the I2C segment select by the bus driver).
//
// Each change is a read-modify-write of GPEDAT; it runs with interrupts disabled so that two drivers
// changing different lines from different threads never lose each other's change. Any thread; not
// from an ISR.
#pragma once

void board_set_port_e_line(unsigned line, bool high);
