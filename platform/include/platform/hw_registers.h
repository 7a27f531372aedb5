// The board's hardware as software sees it: register addresses and their bit fields, the board's
// lines and the addresses of its I2C devices. Named once, here: the drivers program these registers
// and the board's models implement them, so the two can never disagree on a bit.
//
// Constants only; no state, no calls.
#pragma once

#include <cstdint>

namespace hw {

// A field of a register: `width` bits from bit `shift`.
struct Field {
  unsigned shift;
  unsigned width;

  constexpr std::uint32_t Mask() const { return (width >= 32 ? 0xFFFFFFFFu : ((1u << width) - 1u)) << shift; }
  // The field's value in a register value.
  constexpr std::uint32_t Get(std::uint32_t reg) const { return (reg & Mask()) >> shift; }
  // `value` placed in the field (bits beyond the width dropped).
  constexpr std::uint32_t Make(std::uint32_t value) const { return (value << shift) & Mask(); }
  // `reg` with the field replaced by `value`.
  constexpr std::uint32_t Set(std::uint32_t reg, std::uint32_t value) const { return (reg & ~Mask()) | Make(value); }
};
constexpr std::uint32_t Bit(unsigned n) { return 1u << n; }

// I/O ports A to H, 0x10 apart: GPnCON (two function bits per pin), GPnDAT, GPnUP.
namespace gpio {
enum class Port : unsigned { A, B, C, D, E, F, G, H };
inline constexpr unsigned kPortCount = 8;
inline constexpr std::uint32_t kBase = 0x56000000;
inline constexpr std::uint32_t kSize = 0xC0;
inline constexpr std::uint32_t kPortStride = 0x10;
inline constexpr std::uint32_t kConOffset = 0x0;
inline constexpr std::uint32_t kDatOffset = 0x4;
inline constexpr std::uint32_t kUpOffset = 0x8;
constexpr std::uint32_t Con(Port p) { return kBase + static_cast<unsigned>(p) * kPortStride + kConOffset; }
constexpr std::uint32_t Dat(Port p) { return kBase + static_cast<unsigned>(p) * kPortStride + kDatOffset; }
constexpr std::uint32_t Up(Port p) { return kBase + static_cast<unsigned>(p) * kPortStride + kUpOffset; }
inline constexpr std::uint32_t GPBDAT = Dat(Port::B);
inline constexpr std::uint32_t GPECON = Con(Port::E);
inline constexpr std::uint32_t GPEDAT = Dat(Port::E);
inline constexpr std::uint32_t GPFCON = Con(Port::F);
inline constexpr std::uint32_t GPFDAT = Dat(Port::F);
inline constexpr std::uint32_t GPGDAT = Dat(Port::G);
// A pin's function field in GPnCON.
constexpr Field PinFunction(unsigned pin) { return Field{2 * pin, 2}; }
inline constexpr std::uint32_t kFunctionInput = 0;
inline constexpr std::uint32_t kFunctionOutput = 1;
inline constexpr std::uint32_t kFunctionExternalInterrupt = 2;

// External interrupts: EXTINT0-2 hold a 3-bit trigger code per source (four bits apart), EINTMASK and
// EINTPEND one bit per source EINT4-23 (write 1 to clear a pending bit).
inline constexpr std::uint32_t EXTINT0 = 0x56000088;
inline constexpr std::uint32_t EINTMASK = 0x560000A4;
inline constexpr std::uint32_t EINTPEND = 0x560000A8;
inline constexpr std::uint32_t kEintSubSources = 0x00FFFFF0;  // EINT4-23
constexpr std::uint32_t Extint(unsigned eint) { return EXTINT0 + 4 * (eint / 8); }
constexpr Field Trigger(unsigned eint) { return Field{(eint % 8) * 4, 3}; }
inline constexpr std::uint32_t kTriggerLowLevel = 0;
inline constexpr std::uint32_t kTriggerHighLevel = 1;
inline constexpr std::uint32_t kTriggerFallingEdge = 2;
inline constexpr std::uint32_t kTriggerRisingEdge = 4;
inline constexpr std::uint32_t kTriggerBothEdges = 6;
}  // namespace gpio

// The board's lines: a port and a pin.
struct Line {
  gpio::Port port;
  unsigned pin;
  constexpr std::uint32_t Mask() const { return Bit(pin); }
};
namespace line {
inline constexpr Line kPeripheralReset{gpio::Port::B, 7};  // low: the probe controllers restart
inline constexpr Line kDspReset{gpio::Port::E, 2};         // low: the DSP is held in reset
inline constexpr Line kBusHandover3{gpio::Port::E, 3};     // host-port bus hand-over
inline constexpr Line kBusHandover4{gpio::Port::E, 4};
inline constexpr Line kI2cSegment{gpio::Port::E, 8};        // 1: the probe connector's segment
inline constexpr Line kDspInterrupt{gpio::Port::F, 0};      // EINT0
inline constexpr Line kTemperatureAlarm{gpio::Port::F, 2};  // EINT2
inline constexpr Line kOnOffButton{gpio::Port::F, 7};       // EINT7, low while pressed
inline constexpr Line kPowerOn{gpio::Port::G, 0};           // low: the board's power goes off
inline constexpr Line kUsbPullup{gpio::Port::E, 9};         // high: D+ pulled up, attached to the bus
}  // namespace line

// The IIC controller.
namespace iic {
inline constexpr std::uint32_t kBase = 0x54000000;
inline constexpr std::uint32_t kSize = 0x10;
inline constexpr std::uint32_t IICCON = kBase + 0x0;
inline constexpr std::uint32_t IICSTAT = kBase + 0x4;
inline constexpr std::uint32_t IICADD = kBase + 0x8;
inline constexpr std::uint32_t IICDS = kBase + 0xC;
inline constexpr unsigned kVector = 27;
// IICCON.
inline constexpr std::uint32_t kConAckEnable = Bit(7);
inline constexpr std::uint32_t kConClockPclk512 = Bit(6);  // 1: PCLK/512, 0: PCLK/16
inline constexpr std::uint32_t kConIrqEnable = Bit(5);
inline constexpr std::uint32_t kConPending = Bit(4);
inline constexpr Field kConDivider{0, 4};
// IICSTAT.
inline constexpr Field kStatMode{6, 2};
inline constexpr std::uint32_t kModeMasterReceive = 2;
inline constexpr std::uint32_t kModeMasterTransmit = 3;
inline constexpr std::uint32_t kStatBusyStart = Bit(5);
inline constexpr std::uint32_t kStatOutputEnable = Bit(4);
inline constexpr std::uint32_t kStatNack = Bit(0);
}  // namespace iic

// The analogue-to-digital converter.
namespace adc {
inline constexpr std::uint32_t kBase = 0x58000000;
inline constexpr std::uint32_t kSize = 0x14;
inline constexpr std::uint32_t ADCCON = kBase + 0x0;
inline constexpr std::uint32_t ADCTSC = kBase + 0x4;
inline constexpr std::uint32_t ADCDLY = kBase + 0x8;
inline constexpr std::uint32_t ADCDAT0 = kBase + 0xC;
inline constexpr std::uint32_t ADCDAT1 = kBase + 0x10;
// ADCCON.
inline constexpr std::uint32_t kConStart = Bit(0);
inline constexpr std::uint32_t kConReadStart = Bit(1);
inline constexpr std::uint32_t kConStandby = Bit(2);
inline constexpr Field kConChannel{3, 3};
inline constexpr Field kConPrescaler{6, 8};
inline constexpr std::uint32_t kConPrescalerEnable = Bit(14);
inline constexpr std::uint32_t kConEndOfConversion = Bit(15);
inline constexpr Field kConWritable{0, 15};
// ADCTSC, ADCDLY, ADCDAT0.
inline constexpr Field kTscMode{0, 3};
inline constexpr Field kTscWritable{0, 9};
inline constexpr Field kDlyWritable{0, 16};
inline constexpr Field kDatValue{0, 10};
}  // namespace adc

// The DSP's host port: a window of eight words, written at 0x00-0x0C and read at 0x10-0x1C. HPID with
// post-increment advances the DSP address by one word after the access. HPIC bits repeat in both
// halfwords.
namespace hpi {
inline constexpr std::uint32_t kBase = 0x08000000;
inline constexpr std::uint32_t kSize = 0x20;
inline constexpr std::uint32_t kHpicWrite = 0x00;
inline constexpr std::uint32_t kHpiaWrite = 0x04;
inline constexpr std::uint32_t kHpidIncWrite = 0x08;
inline constexpr std::uint32_t kHpidWrite = 0x0C;
inline constexpr std::uint32_t kHpicRead = 0x10;
inline constexpr std::uint32_t kHpiaRead = 0x14;
inline constexpr std::uint32_t kHpidIncRead = 0x18;
inline constexpr std::uint32_t kHpidRead = 0x1C;
inline constexpr std::uint32_t kHpicHalfwordOrder = Bit(0);  // HWOB
inline constexpr std::uint32_t kHpicDspInterrupt = Bit(1);   // DSPINT
inline constexpr std::uint32_t kHpicHostInterrupt = Bit(2);  // HINT, write 1 to acknowledge
constexpr std::uint32_t BothHalves(std::uint32_t bits) { return bits | (bits << 16); }
}  // namespace hpi

// The DSP's external memory interface, at DSP addresses (reached through the host port): the global
// control, the four chip-enable space controls and the SDRAM controls.
namespace emif {
inline constexpr std::uint32_t kGblctl = 0x01800000;
inline constexpr std::uint32_t kCectl1 = 0x01800004;
inline constexpr std::uint32_t kCectl0 = 0x01800008;
inline constexpr std::uint32_t kCectl2 = 0x01800010;
inline constexpr std::uint32_t kCectl3 = 0x01800014;
inline constexpr std::uint32_t kSdctl = 0x01800018;
inline constexpr std::uint32_t kSdtim = 0x0180001C;
inline constexpr std::uint32_t kSdext = 0x01800020;
// CECTLn: the space's memory type and its read and write timing (setup, strobe, hold), in clocks.
inline constexpr Field kCectlWriteSetup{28, 4};
inline constexpr Field kCectlWriteStrobe{22, 6};
inline constexpr Field kCectlWriteHold{20, 2};
inline constexpr Field kCectlReadSetup{16, 4};
inline constexpr Field kCectlTurnaround{14, 2};
inline constexpr Field kCectlReadStrobe{8, 6};
inline constexpr Field kCectlMemoryType{4, 4};
inline constexpr Field kCectlReadHold{0, 3};
inline constexpr std::uint32_t kMemoryTypeAsync32 = 2;
inline constexpr std::uint32_t kMemoryTypeSdram32 = 3;
// SDCTL: the SDRAM's geometry and timing.
inline constexpr std::uint32_t kSdctlFourBanks = Bit(30);  // SDBSZ
inline constexpr Field kSdctlRowBits{28, 2};               // SDRSZ
inline constexpr Field kSdctlColumnBits{26, 2};            // SDCSZ
inline constexpr std::uint32_t kSdctlRefreshEnable = Bit(25);
inline constexpr std::uint32_t kSdctlInitialise = Bit(24);
inline constexpr Field kSdctlTrcd{20, 4};
inline constexpr Field kSdctlTrp{16, 4};
inline constexpr Field kSdctlTrc{12, 4};
// SDTIM: the refresh period, in clocks.
inline constexpr Field kSdtimPeriod{0, 12};
}  // namespace emif

// The full-speed USB device controller: byte-wide registers, endpoint 0 (control, 8-byte FIFO) and
// endpoints 1 to 4 (64-byte FIFOs). INDEX_REG selects the endpoint that MAXP_REG, the CSRs and
// OUT_FIFO_CNT1_REG address. Interrupt flag registers are cleared by writing 1 to a bit.
namespace usbd {
inline constexpr std::uint32_t kBase = 0x52000140;
inline constexpr std::uint32_t kSize = 0x94;
inline constexpr unsigned kVector = 25;
inline constexpr unsigned kEndpointCount = 5;
inline constexpr unsigned kEp0PacketSize = 8;
inline constexpr unsigned kFifoSize = 64;
inline constexpr std::uint32_t FUNC_ADDR_REG = 0x52000140;
inline constexpr std::uint32_t PWR_REG = 0x52000144;
inline constexpr std::uint32_t EP_INT_REG = 0x52000148;
inline constexpr std::uint32_t USB_INT_REG = 0x52000158;
inline constexpr std::uint32_t EP_INT_EN_REG = 0x5200015C;
inline constexpr std::uint32_t USB_INT_EN_REG = 0x5200016C;
inline constexpr std::uint32_t INDEX_REG = 0x52000178;
inline constexpr std::uint32_t MAXP_REG = 0x52000180;
inline constexpr std::uint32_t EP0_CSR = 0x52000184;
inline constexpr std::uint32_t IN_CSR1_REG = 0x52000184;
inline constexpr std::uint32_t IN_CSR2_REG = 0x52000188;
inline constexpr std::uint32_t OUT_CSR1_REG = 0x52000190;
inline constexpr std::uint32_t OUT_CSR2_REG = 0x52000194;
inline constexpr std::uint32_t OUT_FIFO_CNT1_REG = 0x52000198;
inline constexpr std::uint32_t OUT_FIFO_CNT2_REG = 0x5200019C;
constexpr std::uint32_t EpFifo(unsigned n) { return 0x520001C0 + 4 * n; }
// FUNC_ADDR_REG.
inline constexpr std::uint32_t kAddrUpdate = 0x80;
inline constexpr std::uint32_t kAddrMask = 0x7F;
// PWR_REG.
inline constexpr std::uint32_t kPwrSuspendEnable = 0x01;
inline constexpr std::uint32_t kPwrSuspended = 0x02;
inline constexpr std::uint32_t kPwrResume = 0x04;
inline constexpr std::uint32_t kPwrUsbReset = 0x08;
// USB_INT_REG and USB_INT_EN_REG.
inline constexpr std::uint32_t kIntSuspend = 0x01;
inline constexpr std::uint32_t kIntResume = 0x02;
inline constexpr std::uint32_t kIntReset = 0x04;
// EP0_CSR.
inline constexpr std::uint32_t kEp0OutPktRdy = 0x01;
inline constexpr std::uint32_t kEp0InPktRdy = 0x02;
inline constexpr std::uint32_t kEp0SentStall = 0x04;
inline constexpr std::uint32_t kEp0DataEnd = 0x08;
inline constexpr std::uint32_t kEp0SetupEnd = 0x10;
inline constexpr std::uint32_t kEp0SendStall = 0x20;
inline constexpr std::uint32_t kEp0ServicedOutPktRdy = 0x40;
inline constexpr std::uint32_t kEp0ServicedSetupEnd = 0x80;
// IN_CSR1_REG.
inline constexpr std::uint32_t kInPktRdy = 0x01;
inline constexpr std::uint32_t kInFifoFlush = 0x08;
inline constexpr std::uint32_t kInSendStall = 0x10;
inline constexpr std::uint32_t kInSentStall = 0x20;
inline constexpr std::uint32_t kInClrDataToggle = 0x40;
// IN_CSR2_REG.
inline constexpr std::uint32_t kIn2DmaIntOff = 0x10;
inline constexpr std::uint32_t kIn2ModeIn = 0x20;
// OUT_CSR1_REG.
inline constexpr std::uint32_t kOutPktRdy = 0x01;
inline constexpr std::uint32_t kOutFifoFlush = 0x10;
inline constexpr std::uint32_t kOutSendStall = 0x20;
inline constexpr std::uint32_t kOutSentStall = 0x40;
inline constexpr std::uint32_t kOutClrDataToggle = 0x80;
// OUT_CSR2_REG.
inline constexpr std::uint32_t kOut2DmaIntOff = 0x20;
}  // namespace usbd

// The interrupt controller.
namespace intc {
inline constexpr std::uint32_t kBase = 0x4A000000;
inline constexpr std::uint32_t SRCPND = kBase + 0x00;
inline constexpr std::uint32_t INTMOD = kBase + 0x04;
inline constexpr std::uint32_t INTMSK = kBase + 0x08;
}  // namespace intc

// The board's I2C devices on the on-board segment.
namespace i2c_address {
inline constexpr std::uint8_t kTemperatureSensor = 0x48;
inline constexpr std::uint8_t kIdentityEeprom = 0x54;
}  // namespace i2c_address

// The temperature sensor: a pointer register selects one of four registers; temperatures are 16-bit
// two's complement in 1/256 °C steps, of which the top nine bits count (0.5 °C).
namespace temp_sensor {
inline constexpr unsigned kPointerTemperature = 0;
inline constexpr unsigned kPointerConfiguration = 1;
inline constexpr unsigned kPointerHysteresis = 2;
inline constexpr unsigned kPointerOverTemperature = 3;
inline constexpr Field kPointer{0, 2};
inline constexpr std::uint16_t kResolutionMask = 0xFF80;
inline constexpr unsigned kUnitsPerDegree = 256;
// Configuration register.
inline constexpr std::uint8_t kConfigShutdown = 0x01;
inline constexpr std::uint8_t kConfigInterruptMode = 0x02;  // 0: comparator mode
inline constexpr std::uint8_t kConfigPolarityHigh = 0x04;   // the alarm output is active high
inline constexpr Field kConfigFaultQueue{3, 2};             // 1, 2, 4 or 6 conversions
inline constexpr std::uint8_t kConfigWritable = 0x1F;
}  // namespace temp_sensor

}  // namespace hw
