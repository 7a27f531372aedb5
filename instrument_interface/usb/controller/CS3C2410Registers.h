// The register work that the S3C2410 driver's endpoints share: interrupt enables through a mirror,
// endpoint programming, setup-packet reading, bus events. Every register sequence runs with
// interrupts disabled.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/hw_registers.h"
#include "usb/controller/UsbTypes.h"

class CS3C2410Registers {
 public:
  // Bits of the CSRs that act when written as 1 (they must not be written back as read).
  static constexpr std::uint8_t kInActionBits =
      hw::usbd::kInPktRdy | hw::usbd::kInFifoFlush | hw::usbd::kInClrDataToggle;
  static constexpr std::uint8_t kOutActionBits = hw::usbd::kOutFifoFlush | hw::usbd::kOutClrDataToggle;

  CS3C2410Registers();
  virtual ~CS3C2410Registers() = default;

  void EnableEndpointInterrupt(unsigned n);
  void DisableEndpointInterrupt(unsigned n);
  void ClearEndpointInterrupt(unsigned n);
  // EP_INT_EN_REG again from the mirror, endpoints 0 to 3 (after a bus reset).
  void RewriteEnables();
  bool EndpointInterruptFlag(unsigned n);
  // INDEX_REG, the kind record, MAXP_REG and (endpoints 1 to 3) the CSR defaults of the kind.
  void ProgramEndpoint(unsigned n, std::int32_t kind, std::uint16_t packet_size);
  std::int32_t KindOf(unsigned n) const { return n < 4 ? kinds_[n] : 0xFF; }
  void ReadSetup(UsbSetupPacket* setup);
  // One masked select-then-read or select-then-write of a CSR (the EP0/IN CSR1 or OUT CSR1).
  std::uint8_t ReadCsr(unsigned n, std::uint32_t reg);
  void WriteCsr(unsigned n, std::uint32_t reg, std::uint8_t value);
  // Sets and clears bits of an IN or OUT CSR1 in one masked section, never re-triggering the
  // write-1 action bits it read.
  void ModifyInCsr(unsigned n, std::uint8_t set, std::uint8_t clear);
  void ModifyOutCsr(unsigned n, std::uint8_t set, std::uint8_t clear);
  void ModifyUsbIntEnable(std::uint8_t set, std::uint8_t clear);
  std::uint8_t OutFifoCount(unsigned n);
  std::uint8_t UsbInterrupts();
  void ClearUsbInterrupt(std::uint8_t bits);

  std::atomic<std::uint8_t> soft_pending[4] = {};

 private:
  std::uint32_t mirror_;
  std::int32_t kinds_[4] = {0xFF, 0xFF, 0xFF, 0xFF};
};
