// The bulk-IN endpoint 0x81 of the S3C2410 driver.
#pragma once

#include "usb/controller/CS3C2410InEndpoint.h"

class CS3C2410BulkInEndpoint : public CS3C2410InEndpoint {
 public:
  CS3C2410BulkInEndpoint(std::uint8_t configuration, std::uint8_t interface, std::uint8_t alternate,
                         CUsbEndpointEventObserver* observer, CS3C2410Registers* registers,
                         CS3C2410Controller* controller, std::uint32_t* status)
      : CS3C2410InEndpoint(configuration, interface, alternate, 1, kUsbKindBulkIn, observer, registers, controller,
                           status) {}
  std::uint16_t GetMaxPacketSize(std::uint32_t) override { return 64; }
  std::uint8_t GetInterval(std::uint32_t) override { return 0; }
  void CancelTransfer(std::uint32_t* count, std::uint32_t* status) override;
  void ReleaseHalt(std::uint32_t* status) override;
  void ClearStall(std::uint32_t* status) override;
};
