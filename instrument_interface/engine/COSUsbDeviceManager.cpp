#include "engine/COSUsbDeviceManager.h"

#include <new>

#include "engine/DoVovuriStatus.h"

COSUsbDevice* COSUsbDeviceManager::CreateDevice(std::int32_t device_number, std::uint32_t* status) {
  COSUsbDevice* device = new (std::nothrow) COSUsbDevice(device_number);
  if (device == nullptr) {
    *status = kOsStatusNoMemory;
    return nullptr;
  }
  if (device->IsFailed()) {
    delete device;
    *status = kOsStatusNotStarted;
    return nullptr;
  }
  *status = kStatusSuccess;
  return device;
}
