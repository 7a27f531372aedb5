// An endpoint descriptor: address, attributes of the endpoint kind, packet size and interval.
#pragma once

#include <cstdint>

#include "usb/device/CUsbDescriptor.h"

class CUsbEndpointDescriptor : public CUsbDescriptor {
 public:
  CUsbEndpointDescriptor(std::int32_t kind, std::uint8_t number, std::uint16_t max_packet, std::uint8_t interval,
                         std::uint32_t* status);
  std::uint8_t Number() const { return Byte(2) & 0x0F; }
};
