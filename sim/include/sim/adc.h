// The analogue-to-digital converter (register range 0x58000000).
//
// ADCCON: bit 0 starts a conversion (reads back 0), bit 1 start-by-read, bit 2 standby, bits 5:3 the
// channel, bits 13:6 prescaler value, bit 14 prescaler enable, bit 15 end of conversion (read only,
// cleared by a start). ADCTSC bits 2:0 select touch-screen measurements; with any of them set a
// conversion measures the touch screen (reads 0) instead of the channel. ADCDAT0 bits 9:0 hold the
// result.
//
// A conversion samples its channel's input when it starts. It needs the prescaler enabled and the
// converter out of standby, else it never ends. It ends at once, unless the board holds conversions
// (tests that need a conversion in progress): then it ends when the hold is lifted.
//
// Thread safety: any thread.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "platform/hw_registers.h"
#include "platform/regbus.h"

namespace sim {

class Adc final : public platform::regbus::Model {
 public:
  static constexpr std::uint32_t kBase = hw::adc::kBase;
  static constexpr std::uint32_t kSize = hw::adc::kSize;
  static constexpr unsigned kChannels = 8;
  static constexpr double kReferenceVolts = 3.3;

  // Input of a channel as a 10-bit code (values above 1023 are clamped).
  void SetInput(unsigned channel, std::uint16_t code);
  // Input as a voltage against the 3.3 V reference, rounded to the nearest code.
  void SetVoltage(unsigned channel, double volts);

  void HoldConversions(bool hold);
  std::uint64_t Conversions();  // conversions started
  bool Converting();

  std::uint32_t Read(std::uint32_t address, unsigned width) override;
  void Write(std::uint32_t address, std::uint32_t value, unsigned width) override;

 private:
  void FinishLocked();

  std::mutex lock_;
  std::array<std::uint16_t, kChannels> inputs_{};
  std::uint32_t con_ = 0x3FC4;  // reset value: prescaler 255, standby
  std::uint32_t tsc_ = 0x58;
  std::uint32_t dly_ = 0xFF;
  std::uint32_t dat0_ = 0;
  std::uint32_t dat1_ = 0;
  bool converting_ = false;
  bool ended_ = false;
  bool hold_ = false;
  std::uint16_t sample_ = 0;
  std::uint64_t conversions_ = 0;
};

}  // namespace sim
