// The settings records an application device hands to its transport at Enable: CTcpIpDevice fills the
// VXI-11 record, CUsbDevice the USB record, and the transport's physical interface reads it in its
// Enable. Plain data, checked by size.
#pragma once

#include <cstdint>

// VXI-11 device settings (24 bytes).
struct DoVovuriVxi11Settings {
  std::uint32_t size;  // 24
  std::uint8_t valid;
  char device_name[16];  // zero-filled
  std::uint8_t version;  // 1
  std::uint8_t name_given;
};
static_assert(sizeof(DoVovuriVxi11Settings) == 24, "VXI-11 settings are 24 bytes");

// USB device settings (680 bytes). The five strings are stored in the order 2, 0, 1, 3, 4; the valid
// and set-by-caller bytes go by field: vendor id, product id, release, configuration value, maximum
// power, attributes, option, connect-at-enable, the five strings (in string order 0 to 4).
struct DoVovuriUsbSettings {
  static constexpr int kFieldCount = 13;
  static constexpr int kStringLength = 127;
  std::uint32_t size;  // 680
  std::uint8_t valid;
  std::uint16_t vendor_id;
  std::uint16_t product_id;
  std::uint16_t device_release;
  std::uint8_t configuration_value;  // 1 to 255
  std::uint8_t max_power;            // 2 mA units, 0 to 250
  std::uint8_t attributes;
  std::uint8_t option;
  std::uint8_t connect_at_enable;
  char strings[5][kStringLength];  // slots: string 2, 0, 1, 3, 4
  std::uint8_t field_valid[kFieldCount];
  std::uint8_t field_set[kFieldCount];
};
static_assert(sizeof(DoVovuriUsbSettings) == 680, "USB settings are 680 bytes");
