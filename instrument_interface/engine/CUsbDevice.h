// CUsbDevice: the application's device over USBTMC-USB488. A host object derives from it, overrides
// the event operations of C4882Device and enables it with the USB identity and options.
// Enable and the destructor come from the application's threads, as the other operations.
#pragma once

#include <cstdint>

#include "engine/C4882Device.h"
#include "engine/DoVovuriDeviceSettings.h"

class CUsbDevice : public virtual C4882Device {
 public:
  ~CUsbDevice() override;
  // Strings 0 to 2 required (1 to 63 characters), 3 and 4 optional (null or empty: absent; at most
  // 126 characters); every character printable, none of * " : / \ ?, no blank first or last.
  std::uint32_t Enable(std::uint16_t vendor_id, std::uint16_t product_id, std::uint16_t device_release,
                       const char* string0, const char* string1, const char* string2, const char* string3,
                       const char* string4, std::uint8_t max_power, std::uint8_t option, std::uint32_t context,
                       std::uint8_t start_event_loop);
};
