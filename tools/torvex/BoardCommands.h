// The board commands of the control socket that change or report the simulated board: the button,
// the temperature, faults, the probe connector, the DSP program, the network, the USB cable and the
// firmware's state (see BoardControl.h for the socket itself).
#pragma once

#include <chrono>

#include "BoardControl.h"
#include "sim/board.h"
#include "sim/network.h"

namespace board {

// Adds every board command to `server`. `link` is the simulated network link (null on a real one).
void AddControlCommands(ControlServer& server, sim::Board& board, sim::Network* link);

// Holds the board's button for `hold`, then releases it (on a thread of its own).
void PushButton(sim::Board& board, std::chrono::microseconds hold);
// How long a short push of the button is held.
std::chrono::microseconds ShortPush();

}  // namespace board
