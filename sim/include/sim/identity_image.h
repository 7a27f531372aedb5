// The default content of the board's identity EEPROM, used when the board root holds no image: the
// 140-byte identity record at offset 0 (fields from one table of defaults), the rest erased (0xFF).
#pragma once

#include <array>
#include <cstdint>

namespace sim {

constexpr std::size_t kEepromImageSize = 256;
constexpr std::size_t kIdentityRecordSize = 140;

std::array<std::uint8_t, kEepromImageSize> DefaultEepromImage();

}  // namespace sim
