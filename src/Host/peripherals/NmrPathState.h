// ReadNmrPathState: the state of the NMR signal path, from the sense voltage on the probe connector
// (ADC channel 0, "/dev/adc0").
//
// States: 0 nothing plugged (averaged 10-bit value 902-1023 or 0-188), 1 (675-901), 2 (455-674),
// 3 (189-454). Called by the topology monitor thread every 20 ticks; takes no lock of its own.
#pragma once

#include <cstdint>

namespace Torvex {

// 0 with *state set; 9 when "/dev/adc0" cannot be looked up, 12 when a read fails (*state = 0 then).
int ReadNmrPathState(std::uint32_t* state);

// The state of one averaged ADC value.
std::uint32_t NmrPathStateOf(std::uint32_t value);

}  // namespace Torvex
