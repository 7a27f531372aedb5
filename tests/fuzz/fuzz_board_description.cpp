// Fuzz target: the board description file. Any text is either refused with a message or gives a
// description within the documented ranges.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sim/board_description.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  sim::BoardDescription d;
  std::string error;
  if (sim::ParseBoardDescription(text, d, error)) {
    if (!error.empty() || d.temperature < -55.0 || d.temperature > 125.0 || d.flash_blocks < 8 ||
        d.flash_blocks > 8192) {
      std::abort();
    }
    for (const auto block : d.bad_blocks) {
      if (block >= d.flash_blocks) std::abort();
    }
  } else if (error.empty()) {
    std::abort();
  }
  return 0;
}
