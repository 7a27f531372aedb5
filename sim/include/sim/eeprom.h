// The identity EEPROM: a 256-byte serial EEPROM with a byte address pointer.
//
// A write transfer sets the address pointer from its first byte; the device is write-protected on the
// board, so further bytes are acknowledged and discarded. A read transfer returns bytes from the
// pointer on, advancing it and wrapping from 255 to 0. The pointer survives stop conditions, so a
// read after a separate address write continues where that write pointed.
//
// Thread safety: any thread (the IIC controller's callbacks and the board's control API).
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <span>

#include "sim/i2c_slave.h"

namespace sim {

class Eeprom final : public I2cSlave {
 public:
  static constexpr std::size_t kSize = 256;

  // Replaces bytes from `offset` on (bytes past the end are ignored).
  void Load(std::size_t offset, std::span<const std::uint8_t> bytes);
  std::array<std::uint8_t, kSize> Contents();

  bool Start(bool read, std::uint32_t bus_hz) override;
  bool Write(std::uint8_t byte) override;
  std::uint8_t Read(bool master_acks) override;
  void Stop() override;

 private:
  std::mutex lock_;
  std::array<std::uint8_t, kSize> memory_{};
  std::uint8_t pointer_ = 0;
  bool expect_address_ = false;
};

}  // namespace sim
