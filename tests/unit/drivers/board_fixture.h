// The board under the driver tests: one simulated board per test process, in a temporary root, with
// the drivers' hardware initialisation and devices set up on it (as the board start-up does).
#pragma once

#include <gtest/gtest.h>
#include <sys/select.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "drivers/board_devices.h"
#include "platform/devtab.h"
#include "platform/io.h"
#include "platform/regbus.h"
#include "sim/board.h"
#include "support/process_board.h"
#include "support/wait_for.h"

namespace torvex_test {

inline sim::Board& TheBoard() { return torvex_test::ProcessBoard("board-test"); }

// platform::select for reading on one descriptor; true when it is readable within `timeout_ms`.
inline bool Readable(int fd, int timeout_ms) {
  fd_set rd;
  FD_ZERO(&rd);
  FD_SET(fd, &rd);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  return platform::select(fd + 1, &rd, nullptr, nullptr, &tv) == 1 && FD_ISSET(fd, &rd);
}

inline bool Writable(int fd, int timeout_ms) {
  fd_set wr;
  FD_ZERO(&wr);
  FD_SET(fd, &wr);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  return platform::select(fd + 1, nullptr, &wr, nullptr, &tv) == 1 && FD_ISSET(fd, &wr);
}

// Base fixture: the board in its resting state, no trace.
class BoardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    board_ = &TheBoard();
    board_->ClearI2cFaults();
    board_->ReleaseButton();
    board_->adc().HoldConversions(false);
    platform::regbus::SetTrace(false);
  }
  void TearDown() override {
    platform::regbus::SetTrace(false);
    board_->ClearI2cFaults();
  }
  void StartTrace() {
    platform::regbus::SetTrace(true);
    (void)platform::regbus::TakeTrace();
  }

  sim::Board* board_ = nullptr;
};

}  // namespace torvex_test
