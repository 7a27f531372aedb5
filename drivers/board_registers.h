// Addresses of the system-on-chip registers and the board lines that the board drivers use.
#pragma once

#include <cstdint>

namespace board_regs {

// I/O ports.
constexpr std::uint32_t GPECON = 0x56000040;
constexpr std::uint32_t GPEDAT = 0x56000044;
constexpr std::uint32_t GPFCON = 0x56000050;
constexpr std::uint32_t GPFDAT = 0x56000054;

// External interrupts.
constexpr std::uint32_t EXTINT0 = 0x56000088;
constexpr std::uint32_t EINTMASK = 0x560000A4;
constexpr std::uint32_t EINTPEND = 0x560000A8;

// Interrupt controller.
constexpr std::uint32_t SRCPND = 0x4A000000;

// IIC controller.
constexpr std::uint32_t IICCON = 0x54000000;
constexpr std::uint32_t IICSTAT = 0x54000004;
constexpr std::uint32_t IICADD = 0x54000008;
constexpr std::uint32_t IICDS = 0x5400000C;

// ADC.
constexpr std::uint32_t ADCCON = 0x58000000;
constexpr std::uint32_t ADCTSC = 0x58000004;
constexpr std::uint32_t ADCDAT0 = 0x5800000C;

// Port E lines.
constexpr unsigned kDspResetLine = 2;    // active low
constexpr unsigned kBusHandoverLine3 = 3;
constexpr unsigned kBusHandoverLine4 = 4;
constexpr unsigned kI2cSegmentLine = 8;  // 1: probe connector

}  // namespace board_regs
