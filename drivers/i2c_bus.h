// The board's I2C bus: the IIC controller's driver plugged into the platform's I2C layer.
//
// `board_i2c_bus` is the board's one bus object; drivers_hardware_init() initialises it. Devices on it
// select their bus segment with flags bit 0 (0 on-board devices, 1 the probe connector). Transfers
// are made through the platform's transaction calls (platform/i2c.h) from any thread, never from an
// ISR or DSR: the driver sleeps until the controller's interrupt.
#pragma once

#include "platform/i2c.h"

constexpr cyg_uint16 I2C_FLAG_PROBE_SEGMENT = 1;
constexpr cyg_uint32 I2C_DEFAULT_BIT_PERIOD_NS = 10000;

extern cyg_i2c_bus board_i2c_bus;
