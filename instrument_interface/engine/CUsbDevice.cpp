#include "engine/CUsbDevice.h"

#include <cstring>

#include "engine/DoVovuriStatus.h"

namespace {

bool ValidUsbText(const char* text, std::size_t max_length) {
  const std::size_t length = std::strlen(text);
  if (length == 0 || length > max_length) return false;
  if (text[0] == ' ' || text[length - 1] == ' ') return false;
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c > 0x7E) return false;
    if (std::strchr("*\":/\\?", c) != nullptr) return false;
  }
  return true;
}

// The slot of string n in the settings record (stored as 2, 0, 1, 3, 4).
constexpr int kStringSlot[5] = {1, 2, 0, 3, 4};
// Field indexes of the valid and set-by-caller bytes.
enum UsbField { kVendor, kProduct, kRelease, kConfiguration, kPower, kAttributes, kOption, kConnect, kString0 };

}  // namespace

CUsbDevice::~CUsbDevice() { TearDown(); }

std::uint32_t CUsbDevice::Enable(std::uint16_t vendor_id, std::uint16_t product_id, std::uint16_t device_release,
                                 const char* string0, const char* string1, const char* string2, const char* string3,
                                 const char* string4, std::uint8_t max_power, std::uint8_t option,
                                 std::uint32_t context, std::uint8_t start_event_loop) {
  DoVovuriUsbSettings settings{};
  settings.size = sizeof(DoVovuriUsbSettings);
  settings.configuration_value = 1;
  settings.max_power = 50;
  settings.attributes = 0;
  settings.option = 1;
  settings.connect_at_enable = 1;
  for (int field = 0; field < DoVovuriUsbSettings::kFieldCount; ++field) settings.field_valid[field] = 1;
  settings.field_valid[kVendor] = settings.field_valid[kProduct] = settings.field_valid[kRelease] = 0;

  const auto set = [&settings](int field) {
    settings.field_valid[field] = 1;
    settings.field_set[field] = 1;
  };
  settings.vendor_id = vendor_id;
  set(kVendor);
  settings.product_id = product_id;
  set(kProduct);
  settings.device_release = device_release;
  set(kRelease);
  const char* const strings[5] = {string0, string1, string2, string3, string4};
  for (int n = 0; n < 5; ++n) {
    const char* text = strings[n];
    const bool optional = n >= 3;
    if (optional && (text == nullptr || text[0] == '\0')) continue;  // absent
    if (text == nullptr || !ValidUsbText(text, optional ? 126 : 63)) return DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID;
    std::memcpy(settings.strings[kStringSlot[n]], text, std::strlen(text));
    set(kString0 + n);
  }
  if (max_power > 250) return DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID;
  settings.max_power = max_power;
  set(kPower);
  settings.option = option;
  set(kOption);
  settings.valid = 1;
  for (int field = 0; field < DoVovuriUsbSettings::kFieldCount; ++field) {
    if (settings.field_valid[field] != 1) settings.valid = 0;
  }
  if (settings.valid == 0) return DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID;
  const DoVovuriDeviceDescriptor descriptor = DeviceDescriptor(kDeviceTransportUsb, kPluginIdUsb, "DaVIve");
  return C4882Device::Enable(&descriptor, context, &settings, start_event_loop);
}