// The default identity record of the board (see sim/identity_image.h).
#include "sim/identity_image.h"

#include <cstring>
#include <string>

namespace sim {
namespace {

enum class Kind { kZero, kText, kU16, kU32, kMac };

struct Field {
  unsigned offset;
  unsigned width;
  Kind kind;
  const char* text;
  std::uint32_t number;
  const char* meaning;
};

// One row per field of the record, in order. Numbers are little-endian; texts end with a NUL inside
// their field. Serial number 42 gives the default host name "Torvex_00042".
constexpr Field kDefaults[] = {
    {0, 8, Kind::kZero, nullptr, 0, "not read by the firmware"},
    {8, 8, Kind::kText, "2.0", 0, "record version"},
    {16, 8, Kind::kText, "240115", 0, "date the record was created"},
    {24, 12, Kind::kText, "10:30:00", 0, "time the record was created"},
    {36, 32, Kind::kText, "Brenvold", 0, "manufacturer"},
    {68, 8, Kind::kText, "Torvex", 0, "model"},
    {76, 4, Kind::kU32, nullptr, 42, "serial number"},
    {80, 8, Kind::kText, "240115", 0, "manufacturing date"},
    {88, 8, Kind::kText, "240201", 0, "calibration date"},
    {96, 8, Kind::kText, "1.0", 0, "hardware version"},
    {104, 4, Kind::kU32, nullptr, 0, "option word"},
    {108, 4, Kind::kU32, nullptr, 1000000, "lowest RF frequency"},
    {112, 4, Kind::kU32, nullptr, 300000000, "highest RF frequency"},
    {116, 6, Kind::kMac, "\x02\x54\x56\x00\x00\x2a", 0, "Ethernet MAC address (locally administered)"},
    {122, 2, Kind::kZero, nullptr, 0, "not read by the firmware"},
    {124, 2, Kind::kU16, nullptr, 0x1234, "USB vendor id"},
    {126, 2, Kind::kU16, nullptr, 0x0001, "USB product id"},
    {128, 8, Kind::kText, "1.0", 0, "USB version"},
    {136, 2, Kind::kU16, nullptr, 0x0115, "USB device release (BCD)"},
    {138, 2, Kind::kZero, nullptr, 0, "not read by the firmware"},
};
static_assert(std::size(kDefaults) == 20, "the identity record has 20 fields");

constexpr bool FieldsTileTheRecord() {
  unsigned next = 0;
  for (const Field& f : kDefaults) {
    if (f.offset != next) return false;
    if (f.kind == Kind::kText && std::char_traits<char>::length(f.text) >= f.width) return false;
    next = f.offset + f.width;
  }
  return next == kIdentityRecordSize;
}
static_assert(FieldsTileTheRecord(), "fields must follow each other without gaps and texts fit with their NUL");

}  // namespace

std::array<std::uint8_t, kEepromImageSize> DefaultEepromImage() {
  std::array<std::uint8_t, kEepromImageSize> image;
  image.fill(0xFF);
  for (const Field& f : kDefaults) {
    std::uint8_t* p = image.data() + f.offset;
    std::memset(p, 0, f.width);
    switch (f.kind) {
      case Kind::kZero: break;
      case Kind::kText: std::memcpy(p, f.text, std::strlen(f.text)); break;
      case Kind::kMac: std::memcpy(p, f.text, 6); break;
      case Kind::kU16:
      case Kind::kU32:
        for (unsigned k = 0; k < f.width; ++k) p[k] = static_cast<std::uint8_t>(f.number >> (8 * k));
        break;
    }
  }
  return image;
}

}  // namespace sim
