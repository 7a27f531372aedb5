// The identity EEPROM read (see eeprom.h).
#include "drivers/eeprom.h"

#include "drivers/i2c_bus.h"
#include "platform/hw_registers.h"

namespace {

constexpr cyg_uint16 kEepromAddress = hw::i2c_address::kIdentityEeprom;
constexpr cyg_tick_count_t kAckPollTicks = 7;
constexpr int kEepromTries = 4;

cyg_i2c_device s_eeprom = {nullptr, kEepromAddress, 0, I2C_DEFAULT_BIT_PERIOD_NS};

}  // namespace

int eeprom_read(cyg_i2c_bus* bus, cyg_uint8* buffer, cyg_uint16 length, cyg_uint16 offset) {
  if (bus == nullptr || buffer == nullptr || length == 0 || offset > 255 || offset + length > 256) return 22;
  cyg_i2c_device dev = {bus, static_cast<cyg_uint16>((kEepromAddress & 0x7F) | (offset >> 8)), 0,
                        I2C_DEFAULT_BIT_PERIOD_NS};
  cyg_i2c_transaction_begin(&dev);
  s_eeprom.bus = bus;  // under the bus lock: concurrent readers never race on the record
  s_eeprom.address = dev.address;

  // Acknowledge polling: the EEPROM does not answer while it is busy.
  const cyg_uint8 word_address = static_cast<cyg_uint8>(offset & 0xFF);
  const cyg_tick_count_t start = cyg_current_time();
  bool acknowledged = false;
  do {
    acknowledged = cyg_i2c_transaction_tx(&s_eeprom, true, &word_address, 1, false) == 1;
  } while (!acknowledged && cyg_current_time() - start < kAckPollTicks);

  int result = 5;
  if (acknowledged && cyg_i2c_transaction_rx(&s_eeprom, true, buffer, length, true, true) == length) result = 0;
  cyg_i2c_transaction_stop(&s_eeprom);
  cyg_i2c_transaction_end(&dev);
  return result;
}

int eeprom_read_record(cyg_uint8* buffer) {
  int result = 22;
  for (int k = 0; k < kEepromTries; ++k) {
    result = eeprom_read(&board_i2c_bus, buffer, EEPROM_IDENTITY_RECORD_SIZE, 0);
    if (result == 0) break;
  }
  return result;
}
