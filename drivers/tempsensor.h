// The board's temperature sensor (I2C address 0x48, on-board segment) and its over-temperature alarm.
//
// Register access holds the bus for the whole operation and makes up to 5 attempts. The power-down
// monitor thread uses OpenTemperatureAlarm, ReadTemperature and SetTemperatureLimit; any thread, not
// from an ISR.
#pragma once

#include <cstdint>

#include "platform/hw_registers.h"
#include "platform/i2c.h"

// Sensor registers.
enum : cyg_uint8 {
  TEMPSENSOR_REG_TEMPERATURE = hw::temp_sensor::kPointerTemperature,
  TEMPSENSOR_REG_CONFIGURATION = hw::temp_sensor::kPointerConfiguration,
  TEMPSENSOR_REG_HYSTERESIS = hw::temp_sensor::kPointerHysteresis,
  TEMPSENSOR_REG_OVER_TEMPERATURE = hw::temp_sensor::kPointerOverTemperature,
};

// The sensor's range in whole degrees Celsius, and the highest limit its limit registers hold.
constexpr cyg_int32 TEMPSENSOR_MIN_CELSIUS = -55;
constexpr cyg_int32 TEMPSENSOR_MAX_CELSIUS = 125;
constexpr cyg_int32 TEMPSENSOR_MAX_LIMIT_CELSIUS = 127;

// Configuration request of tempsensor_configure.
struct tempsensor_config {
  cyg_uint8 fault_queue;      // 1 to 6 faults before the alarm
  cyg_uint32 active_high;     // alarm output active high
  cyg_uint32 interrupt_mode;  // interrupt instead of comparator mode
  cyg_uint32 shutdown;        // stop converting
};

// Reads a register: 2 bytes for registers 0, 2, 3 (stored as a 16-bit value in the processor's
// order), 1 byte for register 1. 0; 22 for a null bus or buffer, a register above 3 or a wrong size;
// 5 when the sensor does not answer in 5 attempts.
int tempsensor_read_register(cyg_i2c_bus* bus, cyg_uint8 reg, void* buffer, cyg_uint32 size);
// Writes register 1 (1 byte) or 2, 3 (a 16-bit value, sent most significant byte first). 0; 22 for a
// null bus or value, register 0 or above 3, or a wrong size; 5 after 5 failed attempts.
int tempsensor_write_register(cyg_i2c_bus* bus, cyg_uint8 reg, const void* value, cyg_uint32 size);
// Writes the configuration register from the request. 0; 22 for a null bus or a fault queue length
// outside 1 to 6; 5 after 5 failed attempts.
int tempsensor_configure(cyg_i2c_bus* bus, tempsensor_config request);

// Opens "/dev/temp-al" read-only: the descriptor, or a negative value.
int OpenTemperatureAlarm();
// The temperature in whole degrees Celsius (truncated towards zero). 0; 22 for a null output; 26 when
// the sensor fails (the output is left unchanged).
int ReadTemperature(std::int16_t* temperature);
// Sets the alarm to be active exactly while the temperature is above `limit` degrees Celsius (a limit
// outside the sensor's range is clamped to it). 0, or 26 when a register write fails.
int SetTemperatureLimit(std::int16_t limit);
