#include "usb/device/CUsbDeviceDescriptor.h"

#include "usb/device/UsbInsertOrdered.h"

CUsbDeviceDescriptor::CUsbDeviceDescriptor(std::uint32_t* status) : CUsbDescriptor(18, 1, status) {
  if (*status != 0) return;
  SetWord(2, 0x0200);
}

CUsbDeviceDescriptor::~CUsbDeviceDescriptor() {
  for (CUsbConfigurationDescriptor* c : configurations_) delete c;
}

void CUsbDeviceDescriptor::AddConfiguration(CUsbConfigurationDescriptor* configuration, std::uint32_t* status) {
  if (*status != 0) return;
  if (!UsbInsertOrdered(configurations_, configuration, [configuration](const CUsbConfigurationDescriptor* c) {
        return c->Value() > configuration->Value();
      })) {
    *status = kStatusOutOfMemory;
    return;
  }
  SetByte(17, static_cast<std::uint8_t>(configurations_.size()));
}

CUsbConfigurationDescriptor* CUsbDeviceDescriptor::FindConfiguration(std::uint8_t value) const {
  for (CUsbConfigurationDescriptor* c : configurations_)
    if (c->Value() == value) return c;
  return nullptr;
}

bool CUsbDeviceDescriptor::RemoveConfiguration(std::uint8_t value) {
  for (auto it = configurations_.begin(); it != configurations_.end(); ++it) {
    if ((*it)->Value() == value) {
      delete *it;
      configurations_.erase(it);
      SetByte(17, static_cast<std::uint8_t>(configurations_.size()));
      return true;
    }
  }
  return false;
}
