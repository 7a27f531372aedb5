// The simulated board under the peripheral-link tests: one board per test process in a temporary
// root, with a fast tick and the drivers set up as the board start-up does; the link bound to it.
// Each test starts with nothing plugged, no faults and the link at its fastest speed.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "drivers/board_devices.h"
#include "peripherals/PeripheralLink.h"
#include "platform/devtab.h"
#include "platform/io.h"
#include "platform/kernel.h"
#include "sim/board.h"
#include "support/process_board.h"

namespace torvex_test {

inline sim::Board& LinkBoard() {
  static sim::Board* board = [] {
    platform::kernel::SetTickMicroseconds(50);
    sim::Board* b = &ProcessBoard("link-test");
    Torvex::PeripheralLink::Init();
    return b;
  }();
  return *board;
}

// Unplugs everything at the connector and brings the link back to its fastest speed.
inline void ResetLinkWorld(sim::Board& board) {
  board.peripherals().ClearFaults();
  (void)board.peripherals().Unplug("1", nullptr);
  board.ClearI2cFaults();
  Torvex::PeripheralLink::ResetControllers(true);
}

}  // namespace torvex_test
