// The board lines driver: named lines on any port, the on/off button as the power control reads it.
#include <gtest/gtest.h>

#include <thread>

#include "board_fixture.h"
#include "drivers/board_lines.h"
#include "platform/hw_registers.h"
#include "platform/regbus.h"

namespace {

using torvex_test::BoardTest;

TEST_F(BoardTest, ButtonReadsPressedOnlyWhileHeld) {
  EXPECT_FALSE(board_button_pressed());
  board_->PressButton();
  EXPECT_TRUE(board_button_pressed());
  EXPECT_FALSE(board_line_high(hw::line::kOnOffButton));  // the line is low while pressed
  board_->ReleaseButton();
  EXPECT_FALSE(board_button_pressed());
}

TEST_F(BoardTest, SettingALineChangesOnlyThatLineOfItsPort) {
  const std::uint32_t before = platform::regbus::Read32(hw::gpio::GPEDAT);
  board_set_line(hw::line::kBusHandover3, true);
  EXPECT_TRUE(board_->gpio().Level(hw::line::kBusHandover3));
  EXPECT_EQ(platform::regbus::Read32(hw::gpio::GPEDAT) & ~hw::line::kBusHandover3.Mask(),
            before & ~hw::line::kBusHandover3.Mask());
  board_set_line(hw::line::kBusHandover3, false);
  EXPECT_FALSE(board_->gpio().Level(hw::line::kBusHandover3));
  EXPECT_EQ(platform::regbus::Read32(hw::gpio::GPEDAT), before);
}

// Two threads toggling different lines of one port never lose each other's change.
TEST_F(BoardTest, ConcurrentChangesOfOnePortAreNotLost) {
  constexpr int kRounds = 2000;
  auto toggle = [](hw::Line line) {
    for (int i = 0; i < kRounds; ++i) board_set_line(line, (i % 2) == 0);
    board_set_line(line, true);
  };
  std::thread a(toggle, hw::line::kBusHandover3);
  std::thread b(toggle, hw::line::kBusHandover4);
  a.join();
  b.join();
  EXPECT_TRUE(board_->gpio().Level(hw::line::kBusHandover3));
  EXPECT_TRUE(board_->gpio().Level(hw::line::kBusHandover4));
  board_set_line(hw::line::kBusHandover3, false);
  board_set_line(hw::line::kBusHandover4, false);
}

}  // namespace
