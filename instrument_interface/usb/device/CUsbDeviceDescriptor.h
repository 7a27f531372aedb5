// A device descriptor with the configuration descriptors of one speed, ordered by value (it owns them).
#pragma once

#include <cstdint>
#include <vector>

#include "usb/device/CUsbConfigurationDescriptor.h"

class CUsbDeviceDescriptor : public CUsbDescriptor {
 public:
  explicit CUsbDeviceDescriptor(std::uint32_t* status);
  ~CUsbDeviceDescriptor() override;
  void AddConfiguration(CUsbConfigurationDescriptor* configuration, std::uint32_t* status);
  CUsbConfigurationDescriptor* FindConfiguration(std::uint8_t value) const;
  CUsbConfigurationDescriptor* ConfigurationAt(std::uint32_t index) const {
    return index < configurations_.size() ? configurations_[index] : nullptr;
  }
  bool RemoveConfiguration(std::uint8_t value);
  const std::vector<CUsbConfigurationDescriptor*>& configurations() const { return configurations_; }

 private:
  std::vector<CUsbConfigurationDescriptor*> configurations_;
};
