// The peripheral controllers' model seen from the board: plugging and unplugging anywhere in the
// tree, the change indicator, the sense code and the description lines; plug lines of the board
// description.
#include "sim/peripheral_controllers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/board_description.h"

namespace {

using sim::PeripheralControllers;

TEST(PeripheralControllers, PlugRefusals) {
  PeripheralControllers pc;
  ASSERT_TRUE(pc.Plug("1", "multiplexer:2", nullptr));
  struct Case {
    const char* path;
    const char* kind;
  };
  for (const Case c : {Case{"1", "probe"}, Case{"1/3", "probe"}, Case{"1/1/1", "probe"}, Case{"2", "probe"},
                       Case{"1/0", "probe"}, Case{"1//2", "probe"}, Case{"", "probe"}, Case{"1/1", "toaster"},
                       Case{"1/1", "multiplexer:0"}, Case{"1/1", "multiplexer:17"}, Case{"1/1", "camera:9"},
                       Case{"1/1", "probe:2"}, Case{"1/1/1/1/1/1", "probe"}, Case{"1/x", "probe"}}) {
    std::string error;
    EXPECT_FALSE(pc.Plug(c.path, c.kind, &error)) << c.path << " " << c.kind;
    EXPECT_FALSE(error.empty()) << c.path << " " << c.kind;
  }
  EXPECT_EQ(pc.Describe().size(), 1u);
}

TEST(PeripheralControllers, TreeDescriptionChangeIndicatorAndSense) {
  PeripheralControllers pc;
  std::vector<std::uint16_t> codes;
  pc.SetSenseObserver([&codes](std::uint16_t code) { codes.push_back(code); });
  EXPECT_FALSE(pc.ChangeIndicator());
  ASSERT_TRUE(pc.Plug("1", "multiplexer", nullptr));
  ASSERT_TRUE(pc.Plug("1/4", "camera", nullptr));
  ASSERT_TRUE(pc.Plug("1/2", "multiplexer:2", nullptr));
  ASSERT_TRUE(pc.Plug("1/2/2", "probe", nullptr));
  EXPECT_TRUE(pc.ChangeIndicator());
  const auto lines = pc.Describe();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].rfind("1 multiplexer:4 model", 0), 0u);
  EXPECT_EQ(lines[1].rfind("1/2 multiplexer:2 model", 0), 0u);
  EXPECT_EQ(lines[2].rfind("1/2/2 probe model", 0), 0u);
  EXPECT_EQ(lines[3].rfind("1/4 camera:3 model", 0), 0u);
  // Unplugging a multiplexer takes its subtree; the sense code follows the connector only.
  ASSERT_TRUE(pc.Unplug("1/2", nullptr));
  EXPECT_EQ(pc.Describe().size(), 2u);
  EXPECT_FALSE(pc.Unplug("1/2/2", nullptr));
  ASSERT_TRUE(pc.Unplug("1", nullptr));
  EXPECT_TRUE(pc.Describe().empty());
  EXPECT_EQ(codes,
            (std::vector<std::uint16_t>{PeripheralControllers::kSenseNothing, PeripheralControllers::kSenseMultiplexer,
                                        PeripheralControllers::kSenseNothing}));
}

}  // namespace

namespace {

TEST(BoardDescriptionPlug, LinesInOrderAndRefusals) {
  sim::BoardDescription d;
  std::string error;
  ASSERT_TRUE(sim::ParseBoardDescription("plug 1 multiplexer:2\nplug 1/2 probe # on port 2\n", d, error)) << error;
  ASSERT_EQ(d.plugged.size(), 2u);
  EXPECT_EQ(d.plugged[1].first, "1/2");
  EXPECT_EQ(d.plugged[1].second, "probe");
  for (const char* bad : {"plug 1\n", "plug\n", "plug 1 probe extra\n"}) {
    EXPECT_FALSE(sim::ParseBoardDescription(bad, d, error)) << bad;
    EXPECT_NE(error.find("line 1"), std::string::npos) << error;
  }
  ASSERT_TRUE(sim::ParseBoardDescription(sim::DefaultBoardDescriptionText(), d, error)) << error;
  ASSERT_EQ(d.plugged.size(), 1u);
  EXPECT_EQ(d.plugged[0], (std::pair<std::string, std::string>{"1", "probe"}));
}

}  // namespace
