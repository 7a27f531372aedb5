// NMR-path sensing (see NmrPathState.h).
#include "peripherals/NmrPathState.h"

namespace Torvex {

int ReadNmrPathState(std::uint32_t* state) {
  if (state != nullptr) *state = 0;
  return 12;
}

std::uint32_t NmrPathStateOf(std::uint32_t) { return 0; }

}  // namespace Torvex
