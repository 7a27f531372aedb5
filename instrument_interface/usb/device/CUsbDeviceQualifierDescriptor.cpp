#include "usb/device/CUsbDeviceQualifierDescriptor.h"

CUsbDeviceQualifierDescriptor::CUsbDeviceQualifierDescriptor(std::uint32_t* status) : CUsbDescriptor(10, 6, status) {
  if (*status != 0) return;
  SetWord(2, 0x0200);
}
