// The host side of the simulated DSP's host-port window, for tests and benchmarks that drive the DSP
// program model directly (without the firmware's driver): block writes, word reads, the DSP interrupt,
// the host interrupt, and loading an image's loadable sections as the program loader writes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/hw_registers.h"
#include "sim/dsp.h"

namespace torvex_test {

class DspHostPort {
 public:
  explicit DspHostPort(sim::Dsp& dsp) : dsp_(dsp) {}

  // `words` must not be empty; the last word goes through the fixed data register.
  void WriteBlock(std::uint32_t address, const std::vector<std::uint32_t>& words) {
    Control(0);
    dsp_.Write(hw::hpi::kBase + hw::hpi::kHpiaWrite, address, 4);
    for (std::size_t i = 0; i + 1 < words.size(); ++i) dsp_.Write(hw::hpi::kBase + hw::hpi::kHpidIncWrite, words[i], 4);
    dsp_.Write(hw::hpi::kBase + hw::hpi::kHpidWrite, words.back(), 4);
  }
  std::uint32_t ReadWord(std::uint32_t address) {
    Control(0);
    dsp_.Write(hw::hpi::kBase + hw::hpi::kHpiaWrite, address, 4);
    return dsp_.Read(hw::hpi::kBase + hw::hpi::kHpidRead, 4);
  }
  void InterruptDsp() { Control(hw::hpi::kHpicDspInterrupt); }
  bool HostInterrupt() {
    return (dsp_.Read(hw::hpi::kBase + hw::hpi::kHpicRead, 4) & hw::hpi::kHpicHostInterrupt) != 0;
  }
  void AckHostInterrupt() { Control(hw::hpi::kHpicHostInterrupt); }

  // Writes the text and data sections of a little-endian COFF image at their addresses.
  void LoadImage(const std::vector<std::uint8_t>& image) {
    auto le32 = [&](std::size_t at) {
      return image[at] | (image[at + 1] << 8) | (image[at + 2] << 16) | (std::uint32_t{image[at + 3]} << 24);
    };
    const unsigned sections = image[2] | (image[3] << 8);
    for (unsigned s = 0; s < sections; ++s) {
      const std::size_t h = 50 + 48 * s;
      const std::uint32_t flags = le32(h + 40), size = le32(h + 16), raw = le32(h + 20), addr = le32(h + 8);
      if ((flags & 0x60) == 0 || size < 4) continue;
      std::vector<std::uint32_t> words(size / 4);
      for (std::size_t i = 0; i < words.size(); ++i) words[i] = le32(raw + 4 * i);
      WriteBlock(addr, words);
    }
  }

 private:
  void Control(std::uint32_t bits) {
    dsp_.Write(hw::hpi::kBase + hw::hpi::kHpicWrite, hw::hpi::BothHalves(hw::hpi::kHpicHalfwordOrder | bits), 4);
  }

  sim::Dsp& dsp_;
};

}  // namespace torvex_test
