#include "usb/controller/CS3C2410Registers.h"

#include "platform/hw_registers.h"
#include "platform/regbus.h"
#include "usb/controller/CS3C2410InterruptMask.h"

namespace u = hw::usbd;
using platform::regbus::Read8;
using platform::regbus::Write8;

CS3C2410Registers::CS3C2410Registers() { mirror_ = Read8(u::EP_INT_EN_REG); }

void CS3C2410Registers::EnableEndpointInterrupt(unsigned n) {
  CS3C2410InterruptMask masked;
  mirror_ |= 1u << n;
  Write8(u::EP_INT_EN_REG, static_cast<std::uint8_t>(mirror_));
}

void CS3C2410Registers::DisableEndpointInterrupt(unsigned n) {
  CS3C2410InterruptMask masked;
  mirror_ &= ~(1u << n);
  Write8(u::EP_INT_EN_REG, static_cast<std::uint8_t>(mirror_));
}

void CS3C2410Registers::RewriteEnables() {
  for (unsigned n = 0; n < 4; ++n) {
    CS3C2410InterruptMask masked;
    const std::uint8_t value = Read8(u::EP_INT_EN_REG);
    const std::uint8_t bit = static_cast<std::uint8_t>(1u << n);
    Write8(u::EP_INT_EN_REG, static_cast<std::uint8_t>((mirror_ & bit) != 0 ? (value | bit) : (value & ~bit)));
  }
}

void CS3C2410Registers::ClearEndpointInterrupt(unsigned n) {
  CS3C2410InterruptMask masked;
  Write8(u::EP_INT_REG, static_cast<std::uint8_t>(1u << n));
}

bool CS3C2410Registers::EndpointInterruptFlag(unsigned n) {
  CS3C2410InterruptMask masked;
  return (Read8(u::EP_INT_REG) & (1u << n)) != 0;
}

void CS3C2410Registers::ProgramEndpoint(unsigned n, std::int32_t kind, std::uint16_t packet_size) {
  CS3C2410InterruptMask masked;
  Write8(u::INDEX_REG, static_cast<std::uint8_t>(n));
  if (n < 4) kinds_[n] = kind;
  Write8(u::MAXP_REG, static_cast<std::uint8_t>(packet_size / 8));
  if (n >= 1 && n <= 3) {
    Write8(u::IN_CSR1_REG, u::kInClrDataToggle);
    Write8(u::IN_CSR2_REG, u::kIn2DmaIntOff);
    Write8(u::OUT_CSR1_REG, u::kOutClrDataToggle | u::kOutFifoFlush);
    Write8(u::OUT_CSR2_REG, u::kOut2DmaIntOff);
    if (kind != kUsbKindBulkOut) Write8(u::IN_CSR2_REG, u::kIn2DmaIntOff | u::kIn2ModeIn);
    Write8(u::EP_INT_REG, static_cast<std::uint8_t>(1u << n));
  }
}

void CS3C2410Registers::ReadSetup(UsbSetupPacket* setup) {
  std::uint8_t b[8];
  {
    CS3C2410InterruptMask masked;
    for (std::uint8_t& byte : b) byte = Read8(u::EpFifo(0));
  }
  setup->bmRequestType = b[0];
  setup->bRequest = b[1];
  setup->wValue = static_cast<std::uint16_t>(b[2] | (b[3] << 8));
  setup->wIndex = static_cast<std::uint16_t>(b[4] | (b[5] << 8));
  setup->wLength = static_cast<std::uint16_t>(b[6] | (b[7] << 8));
}

std::uint8_t CS3C2410Registers::ReadCsr(unsigned n, std::uint32_t reg) {
  CS3C2410InterruptMask masked;
  Write8(u::INDEX_REG, static_cast<std::uint8_t>(n));
  return Read8(reg);
}

void CS3C2410Registers::WriteCsr(unsigned n, std::uint32_t reg, std::uint8_t value) {
  CS3C2410InterruptMask masked;
  Write8(u::INDEX_REG, static_cast<std::uint8_t>(n));
  Write8(reg, value);
}

void CS3C2410Registers::ModifyInCsr(unsigned n, std::uint8_t set, std::uint8_t clear) {
  CS3C2410InterruptMask masked;
  Write8(u::INDEX_REG, static_cast<std::uint8_t>(n));
  const std::uint8_t value = static_cast<std::uint8_t>(Read8(u::IN_CSR1_REG) & ~kInActionBits);
  Write8(u::IN_CSR1_REG, static_cast<std::uint8_t>((value & ~clear) | set));
}

void CS3C2410Registers::ModifyOutCsr(unsigned n, std::uint8_t set, std::uint8_t clear) {
  CS3C2410InterruptMask masked;
  Write8(u::INDEX_REG, static_cast<std::uint8_t>(n));
  const std::uint8_t value = static_cast<std::uint8_t>(Read8(u::OUT_CSR1_REG) & ~kOutActionBits);
  Write8(u::OUT_CSR1_REG, static_cast<std::uint8_t>((value & ~clear) | set));
}

void CS3C2410Registers::ModifyUsbIntEnable(std::uint8_t set, std::uint8_t clear) {
  CS3C2410InterruptMask masked;
  const std::uint8_t value = Read8(u::USB_INT_EN_REG);
  Write8(u::USB_INT_EN_REG, static_cast<std::uint8_t>((value & ~clear) | set));
}

std::uint8_t CS3C2410Registers::OutFifoCount(unsigned n) {
  CS3C2410InterruptMask masked;
  Write8(u::INDEX_REG, static_cast<std::uint8_t>(n));
  return Read8(u::OUT_FIFO_CNT1_REG);
}

std::uint8_t CS3C2410Registers::UsbInterrupts() {
  CS3C2410InterruptMask masked;
  return Read8(u::USB_INT_REG);
}

void CS3C2410Registers::ClearUsbInterrupt(std::uint8_t bits) {
  CS3C2410InterruptMask masked;
  Write8(u::USB_INT_REG, bits);
}
