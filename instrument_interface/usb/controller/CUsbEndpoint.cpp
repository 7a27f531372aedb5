#include "usb/controller/CUsbEndpoint.h"

CUsbEndpoint::CUsbEndpoint(std::uint8_t configuration, std::uint8_t interface, std::uint8_t alternate,
                           std::uint8_t address, std::int32_t kind, CUsbEndpointEventObserver* observer,
                           std::uint32_t* status)
    : configuration_(configuration),
      interface_(interface),
      alternate_(alternate),
      address_(address),
      kind_(kind),
      observer_(observer) {
  if (*status == 0 && (kind == kUsbKindBulkIn || kind == kUsbKindInterruptIn)) address_ |= 0x80;
}

void CUsbEndpoint::SetMaxPacketSize(std::uint16_t, std::uint32_t, std::uint32_t* status) {
  if (*status == 0) *status = kUsbStatusNotSupported;
}

void CUsbEndpoint::SetInterval(std::uint8_t, std::uint32_t, std::uint32_t* status) {
  if (*status == 0) *status = kUsbStatusNotSupported;
}

void CUsbEndpoint::RegisterReadBuffer(CDataBuffer*) {}

void CUsbEndpoint::StartRead(CDataBuffer*, std::uint32_t* status) {
  if (*status == 0) *status = kStatusNotReported;
}

void CUsbEndpoint::RegisterWriteBuffer(CDataBuffer*) {}

void CUsbEndpoint::StartWrite(CDataBuffer*, std::uint32_t* status) {
  if (*status == 0) *status = kStatusNotReported;
}

void CUsbEndpoint::AcknowledgeStatus(std::uint32_t* status) {
  if (*status == 0) *status = kStatusNotReported;
}
