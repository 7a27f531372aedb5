// The board description's numbers: one reading for every key.
#include <gtest/gtest.h>

#include <string>

#include "sim/board_description.h"

namespace {

struct NumberCase {
  const char* line;
  bool accepted;
};

TEST(BoardDescription, EveryKeyReadsDecimalNumbersAndRefusesAnythingElse) {
  const NumberCase cases[] = {
      {"temperature 25", true},
      {"temperature -55", true},
      {"temperature 36.5", true},
      {"temperature 125", true},
      {"temperature 125.5", false},
      {"temperature 0x10", false},
      {"temperature 0x1p4", false},
      {"temperature 2e1", false},
      {"temperature +25", false},
      {"temperature 25C", false},
      {"temperature .5", false},
      {"temperature 5.", false},
      {"temperature nan", false},
      {"temperature inf", false},
      {"flash-blocks 8", true},
      {"flash-blocks 8192", true},
      {"flash-blocks 0x200", false},
      {"flash-blocks 512k", false},
      {"flash-blocks +512", false},
      {"flash-blocks -512", false},
      {"flash-blocks 512.0", false},
      {"flash-blocks 7", false},
      {"flash-blocks 99999999999999999999", false},
      {"bad-block 0", true},
      {"bad-block 0x3", false},
      {"bad-block 3x", false},
      {"bad-block -1", false},
      {"cpld-version 1.8", true},
      {"cpld-version 65535.0", true},
      {"cpld-version 1", false},
      {"cpld-version 1.", false},
      {"cpld-version .8", false},
      {"cpld-version 1.8.2", false},
      {"cpld-version 0x1.8", false},
      {"cpld-version 65536.0", false},
      {"cpld-version -1.8", false},
  };
  for (const NumberCase& c : cases) {
    SCOPED_TRACE(c.line);
    sim::BoardDescription d;
    std::string error;
    EXPECT_EQ(sim::ParseBoardDescription(std::string(c.line) + "\n", d, error), c.accepted) << error;
    if (!c.accepted) {
      EXPECT_NE(error.find("line 1"), std::string::npos) << error;
    }
  }
}

TEST(BoardDescription, ValuesAreReadAsWritten) {
  sim::BoardDescription d;
  std::string error;
  ASSERT_TRUE(sim::ParseBoardDescription("temperature -12.25\nflash-blocks 0100\nbad-block 7\n", d, error)) << error;
  EXPECT_DOUBLE_EQ(d.temperature, -12.25);
  EXPECT_EQ(d.flash_blocks, 100u);  // a leading zero is decimal, not octal
  ASSERT_EQ(d.bad_blocks.size(), 1u);
  EXPECT_EQ(d.bad_blocks[0], 7u);
  EXPECT_EQ(d.cpld_major, 1u);  // absent: 1.8
  EXPECT_EQ(d.cpld_minor, 8u);
  ASSERT_TRUE(sim::ParseBoardDescription("cpld-version 2.07\n", d, error)) << error;
  EXPECT_EQ(d.cpld_major, 2u);
  EXPECT_EQ(d.cpld_minor, 7u);
}

}  // namespace
