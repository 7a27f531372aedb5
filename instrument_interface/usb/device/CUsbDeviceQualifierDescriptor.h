// The device qualifier descriptor: what the device would be at the other speed.
#pragma once

#include <cstdint>

#include "usb/device/CUsbDescriptor.h"

class CUsbDeviceQualifierDescriptor : public CUsbDescriptor {
 public:
  explicit CUsbDeviceQualifierDescriptor(std::uint32_t* status);
};
