#include "usb/device/CUsbInterfaceDescriptor.h"

#include "usb/device/UsbInsertOrdered.h"

CUsbInterfaceDescriptor::CUsbInterfaceDescriptor(std::uint8_t number, std::uint8_t alternate, std::uint8_t cls,
                                                 std::uint8_t subclass, std::uint8_t protocol,
                                                 std::uint8_t string_index, std::uint32_t* status)
    : CUsbDescriptor(9, 4, status) {
  if (*status != 0) return;
  SetByte(2, number);
  SetByte(3, alternate);
  SetByte(4, 0);
  SetByte(5, cls);
  SetByte(6, subclass);
  SetByte(7, protocol);
  SetByte(8, string_index);
}

CUsbInterfaceDescriptor::~CUsbInterfaceDescriptor() {
  for (CUsbEndpointDescriptor* e : endpoints_) delete e;
}

void CUsbInterfaceDescriptor::AddEndpoint(CUsbEndpointDescriptor* endpoint, std::uint32_t* status) {
  if (*status != 0) return;
  if (!UsbInsertOrdered(endpoints_, endpoint,
                        [endpoint](const CUsbEndpointDescriptor* e) { return e->Number() > endpoint->Number(); })) {
    *status = kStatusOutOfMemory;
    return;
  }
  SetByte(4, static_cast<std::uint8_t>(endpoints_.size()));
}
