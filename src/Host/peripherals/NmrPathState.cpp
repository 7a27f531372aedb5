// NMR-path sensing (see NmrPathState.h).
#include "peripherals/NmrPathState.h"

#include "platform/devtab.h"

namespace Torvex {

namespace {
constexpr int kSamples = 20;
}

int ReadNmrPathState(std::uint32_t* state) {
  if (state != nullptr) *state = 0;
  cyg_io_handle_t adc;
  if (cyg_io_lookup("/dev/adc0", &adc) != 0) return 9;
  std::uint32_t value = 0;
  for (int i = 0; i < kSamples; ++i) {
    std::uint16_t sample = 0;
    cyg_uint32 length = sizeof sample;
    if (cyg_io_read(adc, &sample, &length) != 0 || length != sizeof sample) return 12;
    // The running value weighs the latest sample one half, the one before one quarter, and so on.
    value = i == 0 ? sample : (value + sample) / 2;
  }
  if (state != nullptr) *state = NmrPathStateOf(value);
  return 0;
}

std::uint32_t NmrPathStateOf(std::uint32_t value) {
  if (value >= 902) return 0;
  if (value >= 675) return 1;
  if (value >= 455) return 2;
  if (value >= 189) return 3;
  return 0;
}

}  // namespace Torvex
