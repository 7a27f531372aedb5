// The simulated board of a test program, benchmark or fuzz target: one per process, in a temporary
// root removed at exit, with the drivers' hardware initialisation and devices set up on it as the
// board's start-up does. It lives as long as the process: the drivers stay bound to it.
#pragma once

#include <string>

#include "drivers/board_devices.h"
#include "platform/devtab.h"
#include "platform/interrupt.h"
#include "platform/io.h"
#include "sim/board.h"
#include "support/temp_dir.h"

namespace torvex_test {

// With `own_root` the board's root is also the firmware's board root, with the device file system
// mounted; without it the tests set their board roots themselves.
inline sim::Board& ProcessBoard(const std::string& tag = "board", bool own_root = true) {
  static sim::Board* board = [&tag, own_root] {
    const std::string root = MakeProcessTempDir(tag).string();
    // The interrupt controller is made on first use; made here, before the board's port model first
    // drives a line under its own lock, its lazy creation never nests inside that lock.
    platform::interrupts::IsMasked(0);
    auto* made = new sim::Board(root);
    if (own_root) platform::SetBoardRoot(root);
    drivers_hardware_init();
    drivers_register_devices();
    platform::devtab::InitAll();
    if (own_root && !platform::IsMounted("/dev")) platform::mount("", "/dev", "devfs");
    return made;
  }();
  return *board;
}

}  // namespace torvex_test
