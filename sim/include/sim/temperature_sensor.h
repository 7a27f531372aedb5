// The board's temperature sensor (LM75 type) with its over-temperature output.
//
// Registers (selected by the first byte of a write transfer, kept across transfers): 0 temperature
// (read only), 1 configuration, 2 hysteresis, 3 over-temperature limit. 16-bit registers travel most
// significant byte first, hold 1/256 degree per count and keep a resolution of half a degree (the
// low seven bits read 0). Reading past a register's end repeats it.
//
// The sensor converts whenever the board's temperature is set and after each write of a limit or of
// the configuration (the model has no free-running conversion clock). The output follows the
// configuration: comparator mode is active from `queue` consecutive conversions above the limit until
// `queue` consecutive conversions below the hysteresis; interrupt mode becomes active on crossing the
// limit upwards (and then the hysteresis downwards) and is cleared by any read. Polarity bit 2 set
// makes the output active high; shut-down stops the conversions.
//
// Thread safety: any thread. The output callback runs with the sensor's lock held.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

#include "sim/i2c_slave.h"

namespace sim {

class TemperatureSensor final : public I2cSlave {
 public:
  static constexpr double kMinCelsius = -55.0;
  static constexpr double kMaxCelsius = 125.0;

  // `output` receives the level of the over-temperature pin whenever it changes.
  explicit TemperatureSensor(std::function<void(bool level)> output);

  // The temperature the sensor senses, clamped to its range and measured in half degrees.
  void SetTemperature(double celsius);
  std::int16_t RegisterValue(unsigned reg);  // 0 to 3; the configuration in the low byte
  bool OutputActive();

  bool Start(bool read, std::uint32_t bus_hz) override;
  bool Write(std::uint8_t byte) override;
  std::uint8_t Read(bool master_acks) override;
  void Stop() override;

 private:
  void ConvertLocked();
  void SetActiveLocked(bool active);
  unsigned QueueLocked() const;

  std::function<void(bool)> output_;
  std::mutex lock_;
  double world_celsius_ = 25.0;
  std::int16_t temp_ = 25 * 256;
  std::uint8_t config_ = 0;
  std::int16_t hyst_ = 75 * 256;
  std::int16_t tos_ = 80 * 256;
  unsigned pointer_ = 0;
  unsigned write_index_ = 0;  // data bytes written in this transfer (0 = next byte is the pointer)
  std::uint8_t msb_ = 0;
  unsigned read_index_ = 0;
  bool active_ = false;
  unsigned over_ = 0;
  unsigned under_ = 0;
  bool interrupt_armed_high_ = true;  // interrupt mode: waiting for the upward crossing
};

}  // namespace sim
