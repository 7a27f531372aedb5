// String descriptor 0: the language IDs the device's strings come in.
#pragma once

#include <cstdint>

#include "usb/device/CUsbDescriptor.h"

class CUsbLanguageIdDescriptor : public CUsbDescriptor {
 public:
  static constexpr std::uint8_t kCapacity = 1;
  explicit CUsbLanguageIdDescriptor(std::uint32_t* status);
  bool Has(std::uint16_t language) const;
  void Add(std::uint16_t language, std::uint32_t* status);
};
