// The interrupt-IN endpoint 0x83 of the S3C2410 driver.
#pragma once

#include "usb/controller/CS3C2410InEndpoint.h"

class CS3C2410InterruptInEndpoint : public CS3C2410InEndpoint {
 public:
  CS3C2410InterruptInEndpoint(std::uint8_t configuration, std::uint8_t interface, std::uint8_t alternate,
                              CUsbEndpointEventObserver* observer, CS3C2410Registers* registers,
                              CS3C2410Controller* controller, std::uint32_t* status)
      : CS3C2410InEndpoint(configuration, interface, alternate, 3, kUsbKindInterruptIn, observer, registers, controller,
                           status) {}
  std::uint16_t GetMaxPacketSize(std::uint32_t) override { return packet_size_; }
  void SetMaxPacketSize(std::uint16_t size, std::uint32_t speed, std::uint32_t* status) override;
  std::uint8_t GetInterval(std::uint32_t) override { return interval_; }
  void SetInterval(std::uint8_t value, std::uint32_t speed, std::uint32_t* status) override;
  void CancelTransfer(std::uint32_t* count, std::uint32_t* status) override;
  void ReleaseHalt(std::uint32_t* status) override;
  void ClearStall(std::uint32_t* status) override;

 private:
  std::uint16_t packet_size_ = 64;
  std::uint8_t interval_ = 1;
};
