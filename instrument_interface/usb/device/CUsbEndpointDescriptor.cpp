#include "usb/device/CUsbEndpointDescriptor.h"

CUsbEndpointDescriptor::CUsbEndpointDescriptor(std::int32_t kind, std::uint8_t number, std::uint16_t max_packet,
                                               std::uint8_t interval, std::uint32_t* status)
    : CUsbDescriptor(7, 5, status) {
  if (*status != 0) return;
  const bool in = kind == kUsbKindBulkIn || kind == kUsbKindInterruptIn;
  SetByte(2, static_cast<std::uint8_t>((number & 0x0F) | (in ? 0x80 : 0)));
  std::uint8_t attributes = 0;
  if (kind == kUsbKindBulkIn || kind == kUsbKindBulkOut) attributes = 2;
  if (kind == kUsbKindInterruptIn) attributes = 3;
  SetByte(3, attributes);
  SetWord(4, max_packet);
  SetByte(6, interval);
}
