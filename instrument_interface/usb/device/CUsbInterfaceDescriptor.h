// An interface descriptor with its endpoint descriptors, ordered by endpoint number (it owns them).
#pragma once

#include <cstdint>
#include <vector>

#include "usb/device/CUsbEndpointDescriptor.h"

class CUsbInterfaceDescriptor : public CUsbDescriptor {
 public:
  CUsbInterfaceDescriptor(std::uint8_t number, std::uint8_t alternate, std::uint8_t cls, std::uint8_t subclass,
                          std::uint8_t protocol, std::uint8_t string_index, std::uint32_t* status);
  ~CUsbInterfaceDescriptor() override;
  std::uint8_t Number() const { return Byte(2); }
  std::uint8_t Alternate() const { return Byte(3); }
  std::uint8_t StringIndex() const { return Byte(8); }
  void AddEndpoint(CUsbEndpointDescriptor* endpoint, std::uint32_t* status);
  const std::vector<CUsbEndpointDescriptor*>& endpoints() const { return endpoints_; }

 private:
  std::vector<CUsbEndpointDescriptor*> endpoints_;
};
