// The temperature sensor driver (see tempsensor.h).
#include "drivers/tempsensor.h"

#include <fcntl.h>

#include <cstring>

#include "drivers/i2c_bus.h"
#include "platform/hw_registers.h"
#include "platform/io.h"

namespace {

using namespace hw::temp_sensor;

constexpr cyg_uint16 kSensorAddress = hw::i2c_address::kTemperatureSensor;
constexpr int kAttempts = 5;

cyg_i2c_device s_sensor = {nullptr, kSensorAddress, 0, I2C_DEFAULT_BIT_PERIOD_NS};

cyg_uint32 register_size(cyg_uint8 reg) { return reg == TEMPSENSOR_REG_CONFIGURATION ? 1 : 2; }

// Takes the bus and binds the sensor's record to it.
void begin(cyg_i2c_bus* bus) {
  const cyg_i2c_device dev = {bus, kSensorAddress, 0, I2C_DEFAULT_BIT_PERIOD_NS};
  cyg_i2c_transaction_begin(&dev);
  s_sensor.bus = bus;
}

void end() { cyg_i2c_transaction_end(&s_sensor); }

}  // namespace

int tempsensor_read_register(cyg_i2c_bus* bus, cyg_uint8 reg, void* buffer, cyg_uint32 size) {
  if (bus == nullptr || buffer == nullptr || reg > 3 || size != register_size(reg)) return 22;
  begin(bus);
  cyg_uint8 bytes[2] = {0, 0};
  bool ok = false;
  for (int attempt = 0; attempt < kAttempts && !ok; ++attempt) {
    ok = cyg_i2c_transaction_tx(&s_sensor, true, &reg, 1, false) == 1 &&
         cyg_i2c_transaction_rx(&s_sensor, true, bytes, size, true, true) == size;
    if (!ok) cyg_i2c_transaction_stop(&s_sensor);
  }
  end();
  if (!ok) return 5;
  if (size == 1) {
    *static_cast<cyg_uint8*>(buffer) = bytes[0];
  } else {
    const cyg_uint16 v = static_cast<cyg_uint16>((bytes[0] << 8) | bytes[1]);
    std::memcpy(buffer, &v, sizeof v);
  }
  return 0;
}

int tempsensor_write_register(cyg_i2c_bus* bus, cyg_uint8 reg, const void* value, cyg_uint32 size) {
  if (bus == nullptr || value == nullptr || reg == 0 || reg > 3 || size != register_size(reg)) return 22;
  cyg_uint8 bytes[2];
  if (size == 1) {
    bytes[0] = *static_cast<const cyg_uint8*>(value);
  } else {
    cyg_uint16 v;
    std::memcpy(&v, value, sizeof v);
    bytes[0] = static_cast<cyg_uint8>(v >> 8);
    bytes[1] = static_cast<cyg_uint8>(v & 0xFF);
  }
  begin(bus);
  bool ok = false;
  for (int attempt = 0; attempt < kAttempts && !ok; ++attempt) {
    ok = cyg_i2c_transaction_tx(&s_sensor, true, &reg, 1, false) == 1 &&
         cyg_i2c_transaction_tx(&s_sensor, false, bytes, size, true) == size;
    if (!ok) cyg_i2c_transaction_stop(&s_sensor);
  }
  end();
  return ok ? 0 : 5;
}

int tempsensor_configure(cyg_i2c_bus* bus, tempsensor_config request) {
  if (bus == nullptr || request.fault_queue < 1 || request.fault_queue > 6) return 22;
  // Fault queue 1, 2, 4 or 6 is written as its code 0 to 3.
  const cyg_uint8 config = static_cast<cyg_uint8>(
      kConfigFaultQueue.Make((request.fault_queue & 6u) >> 1) | (request.active_high ? kConfigPolarityHigh : 0) |
      (request.interrupt_mode ? kConfigInterruptMode : 0) | (request.shutdown ? kConfigShutdown : 0));
  return tempsensor_write_register(bus, TEMPSENSOR_REG_CONFIGURATION, &config, 1);
}

int OpenTemperatureAlarm() { return platform::open("/dev/temp-al", O_RDONLY); }

int ReadTemperature(std::int16_t* temperature) {
  if (temperature == nullptr) return 22;
  cyg_uint16 raw = 0;
  if (tempsensor_read_register(&board_i2c_bus, TEMPSENSOR_REG_TEMPERATURE, &raw, 2) != 0) return 26;
  *temperature = static_cast<std::int16_t>(static_cast<std::int16_t>(raw) / static_cast<int>(kUnitsPerDegree));
  return 0;
}

int SetTemperatureLimit(std::int16_t limit) {
  cyg_int32 clamped = limit;
  if (clamped < TEMPSENSOR_MIN_CELSIUS) clamped = TEMPSENSOR_MIN_CELSIUS;
  if (clamped > TEMPSENSOR_MAX_LIMIT_CELSIUS) clamped = TEMPSENSOR_MAX_LIMIT_CELSIUS;
  const cyg_uint16 value = static_cast<cyg_uint16>(clamped * static_cast<cyg_int32>(kUnitsPerDegree));
  if (tempsensor_write_register(&board_i2c_bus, TEMPSENSOR_REG_OVER_TEMPERATURE, &value, 2) != 0) return 26;
  if (tempsensor_write_register(&board_i2c_bus, TEMPSENSOR_REG_HYSTERESIS, &value, 2) != 0) return 26;
  const tempsensor_config comparator_one_fault_active_low = {1, 0, 0, 0};
  if (tempsensor_configure(&board_i2c_bus, comparator_one_fault_active_low) != 0) return 26;
  return 0;
}
