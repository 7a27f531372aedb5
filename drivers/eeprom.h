// Reading the board's identity EEPROM (I2C address 0x54, on-board segment).
//
// Called at start-up by the start-up settings (main thread); any thread, not from an ISR.
#pragma once

#include "platform/i2c.h"

constexpr cyg_uint16 EEPROM_IDENTITY_RECORD_SIZE = 140;

// Reads `length` bytes from `offset`. 0; 22 for a null bus or buffer, length 0, offset above 255 or
// offset + length above 256; 5 when the EEPROM does not acknowledge within 7 ticks or a transfer is
// short. Holds the bus for the whole read.
int eeprom_read(cyg_i2c_bus* bus, cyg_uint8* buffer, cyg_uint16 length, cyg_uint16 offset);

// Reads the 140-byte identity record at offset 0 from the board's bus, up to 4 tries; the result of
// the last try.
int eeprom_read_record(cyg_uint8* buffer);
