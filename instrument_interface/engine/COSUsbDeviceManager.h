// Maker of COSUsbDevice objects; the USB plug-in's interface manager derives from it.
#pragma once

#include <cstdint>

#include "engine/COSUsbDevice.h"

class COSUsbDeviceManager {
 public:
  COSUsbDeviceManager() = default;
  virtual ~COSUsbDeviceManager() = default;
  virtual void RemoveDevice(COSUsbDevice* device) = 0;

  bool IsFailed() const { return failed_ != 0; }
  // Status 5 when the allocation failed, 8 when the device could not be constructed (it is deleted,
  // the result is null), else 0.
  COSUsbDevice* CreateDevice(std::int32_t device_number, std::uint32_t* status);

 private:
  std::uint8_t failed_ = 0;
};
