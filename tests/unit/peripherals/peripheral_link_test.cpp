// The peripheral link against the simulated controllers on the probe connector, on a fast tick.
#include "peripherals/PeripheralLink.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link_board.h"
#include "peripherals/NmrPathState.h"

namespace Torvex {
namespace {

using torvex_test::LinkBoard;

class PeripheralLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    board_ = &LinkBoard();
    torvex_test::ResetLinkWorld(*board_);
  }
  void TearDown() override { torvex_test::ResetLinkWorld(*board_); }
  void Plug(const std::string& path, const std::string& kind) {
    std::string error;
    ASSERT_TRUE(board_->peripherals().Plug(path, kind, &error)) << error;
  }
  std::vector<std::string> Paths(const std::vector<PeripheralScanEntry>& list) {
    std::vector<std::string> out;
    for (const auto& e : list) {
      std::string p = "1";
      for (std::uint8_t i = 0; i < e.path.Length(); ++i) p += "/" + std::to_string(e.path.Level(i));
      out.push_back(p + ":" + std::to_string(e.id.type));
    }
    return out;
  }
  sim::Board* board_ = nullptr;
};

TEST_F(PeripheralLinkTest, NothingPluggedGivesNoFrame) {
  PeripheralIdentification id;
  EXPECT_EQ(PeripheralLink::ReadIdentification(id), eLinkNoFrame);
  std::vector<PeripheralScanEntry> list;
  EXPECT_EQ(PeripheralLink::ScanTopology(list), eLinkNoFrame);
  EXPECT_TRUE(list.empty());
}

TEST_F(PeripheralLinkTest, ProbeOnConnectorIsOneEntryWithEmptyPath) {
  Plug("1", "probe");
  std::vector<PeripheralScanEntry> list;
  ASSERT_EQ(PeripheralLink::ScanTopology(list), 0);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].path.Length(), 0);
  EXPECT_EQ(list[0].id.type, ePeripheralProbe2);
  EXPECT_EQ(list[0].id.version, 1);
  EXPECT_EQ(list[0].portCount, 0);
}

TEST_F(PeripheralLinkTest, MultiplexerSubtreeOrder) {
  Plug("1", "multiplexer:4");
  Plug("1/1", "multiplexer:2");
  Plug("1/2", "probe");
  Plug("1/3", "multiplexer:3");
  Plug("1/4", "camera:2");
  Plug("1/1/2", "probe");
  Plug("1/3/1", "probe");
  std::vector<PeripheralScanEntry> list;
  ASSERT_EQ(PeripheralLink::ScanTopology(list), 0);
  EXPECT_EQ(Paths(list), (std::vector<std::string>{"1:3", "1/2:2", "1/4:6", "1/1:3", "1/1/2:2", "1/3:3", "1/3/1:2"}));
  EXPECT_EQ(list[0].portCount, 4);
  EXPECT_EQ(list[3].portCount, 2);
}

TEST_F(PeripheralLinkTest, NestingBeyondTheChannelIsSkippedAndLogged) {
  Plug("1", "multiplexer:1");
  Plug("1/1", "multiplexer:1");
  Plug("1/1/1", "multiplexer:1");
  Plug("1/1/1/1", "multiplexer:1");
  Plug("1/1/1/1/1", "multiplexer:1");  // its ports would be a sixth level
  std::vector<PeripheralScanEntry> list;
  ASSERT_EQ(PeripheralLink::ScanTopology(list), 0);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list.back().path.Length(), 4);
}

TEST_F(PeripheralLinkTest, RecordVersionTwoFailsTheScanWithNoEntries) {
  Plug("1", "probe");
  board_->peripherals().SetRecordVersion(2);
  std::vector<PeripheralScanEntry> list;
  EXPECT_EQ(PeripheralLink::ScanTopology(list), eLinkNoData);
  EXPECT_TRUE(list.empty());
}

TEST_F(PeripheralLinkTest, BusyThenAcceptedSucceedsBusyFiveTimesIsRefused) {
  Plug("1", "probe");
  PeripheralIdentification id;
  ASSERT_EQ(PeripheralLink::ReadIdentification(id), 0);
  const CTorvexChannel path;
  struct Case {
    unsigned busy;
    int result;
  };
  for (const Case c : {Case{1, 0}, Case{4, 0}, Case{5, eLinkRefused}}) {
    board_->peripherals().SetBusySends(c.busy);
    PeripheralLinkRequest request;
    request.command = kCmdAuxWord;
    EXPECT_EQ(PeripheralLink::SendCommand(path, id.model, id.serial, request, nullptr), c.result) << c.busy;
    if (c.result == 0) {
      ASSERT_EQ(request.length, 2);
    }
    board_->peripherals().SetBusySends(0);
  }
}

TEST_F(PeripheralLinkTest, NeverReadyFailsWithNoFrame) {
  Plug("1", "probe");
  board_->peripherals().SetNeverReady(true);
  PeripheralIdentification id;
  EXPECT_EQ(PeripheralLink::ReadIdentification(id), eLinkNoFrame);
}

TEST_F(PeripheralLinkTest, WrongModelIsRefusedAndStatusBitsReported) {
  Plug("1", "probe");
  PeripheralLinkRequest request;
  request.command = kCmdAuxWord;
  std::uint32_t bits = 99;
  EXPECT_EQ(PeripheralLink::SendCommand(CTorvexChannel{}, 0x7777, 1, request, &bits), eLinkRefused);
  EXPECT_EQ(bits, 1u);
}

TEST_F(PeripheralLinkTest, SpeedFallsOnBadFramesAndRisesAfterTwentyGood) {
  Plug("1", "probe");
  PeripheralIdentification id;
  board_->peripherals().SetCorruptFrames(1);
  ASSERT_EQ(PeripheralLink::ReadIdentification(id), 0);
  EXPECT_EQ(PeripheralLink::Speed(), kLinkSpeedMedium);
  board_->peripherals().SetCorruptFrames(1);
  ASSERT_EQ(PeripheralLink::ReadIdentification(id), 0);
  EXPECT_EQ(PeripheralLink::Speed(), kLinkSpeedSlow);
  // Good frames: the count climbs to 20, then each good frame raises the speed one step.
  while (PeripheralLink::GoodFrames() < kLinkGoodFramesToRaise) {
    EXPECT_EQ(PeripheralLink::Speed(), kLinkSpeedSlow);
    std::uint8_t status = 0;
    ASSERT_EQ(PeripheralLink::PollStatus(&status), 0);
  }
  EXPECT_EQ(PeripheralLink::Speed(), kLinkSpeedSlow);
  std::uint8_t status = 0;
  ASSERT_EQ(PeripheralLink::PollStatus(&status), 0);
  EXPECT_EQ(PeripheralLink::Speed(), kLinkSpeedMedium);
  ASSERT_EQ(PeripheralLink::PollStatus(&status), 0);
  EXPECT_EQ(PeripheralLink::Speed(), kLinkSpeedFast);
}

TEST_F(PeripheralLinkTest, CorruptionOnlyAtFastestSpeedSettlesOneStepDown) {
  Plug("1", "probe");
  board_->peripherals().SetCorruptAtFastestSpeed(true);
  PeripheralIdentification id;
  for (int i = 0; i < 30; ++i) ASSERT_EQ(PeripheralLink::ReadIdentification(id), 0);
  EXPECT_NE(PeripheralLink::Speed(), kLinkSpeedSlow);
  EXPECT_EQ(id.type, ePeripheralProbe2);
}

TEST_F(PeripheralLinkTest, ShortFixedFramesAreRefused) {
  Plug("1", "probe");
  PeripheralIdentification id;
  board_->peripherals().SetShortFrames(100);
  EXPECT_EQ(PeripheralLink::ReadIdentification(id), eLinkNoFrame);
}

TEST_F(PeripheralLinkTest, ChangeIndicatorFollowsPlugging) {
  Plug("1", "multiplexer:2");
  std::uint32_t value = 0;
  ASSERT_EQ(PeripheralLink::ReadChangeIndicator(value), 0);
  EXPECT_NE(value, 0u);
  ASSERT_EQ(PeripheralLink::ReadChangeIndicator(value), 0);
  EXPECT_EQ(value, 0u);
  Plug("1/2", "probe");
  ASSERT_EQ(PeripheralLink::ReadChangeIndicator(value), 0);
  EXPECT_NE(value, 0u);
}

TEST_F(PeripheralLinkTest, RouteSelectionAndActiveRoute) {
  Plug("1", "multiplexer:3");
  Plug("1/3", "probe");
  std::vector<PeripheralScanEntry> list;
  ASSERT_EQ(PeripheralLink::ScanTopology(list), 0);
  ASSERT_EQ(list.size(), 2u);
  const auto& probe = list[1];
  EXPECT_EQ(PeripheralLink::SelectRoute(list[0].path, list[0].id.model, list[0].id.serial), eLinkRouteRefused);
  ASSERT_EQ(PeripheralLink::SelectRoute(probe.path, probe.id.model, probe.id.serial), 0);
  CTorvexChannel path;
  std::uint16_t model = 0;
  std::uint32_t serial = 0;
  ASSERT_EQ(PeripheralLink::GetActiveRoute(path, model, serial), 0);
  EXPECT_TRUE(path == probe.path);
  EXPECT_EQ(model, probe.id.model);
  EXPECT_EQ(serial, probe.id.serial);
}

TEST_F(PeripheralLinkTest, ResetRestartsTheControllers) {
  Plug("1", "multiplexer:3");
  Plug("1/3", "probe");
  std::vector<PeripheralScanEntry> list;
  ASSERT_EQ(PeripheralLink::ScanTopology(list), 0);
  ASSERT_EQ(PeripheralLink::SelectRoute(list[1].path, list[1].id.model, list[1].id.serial), 0);
  PeripheralLink::ResetControllers(true);
  EXPECT_EQ(PeripheralLink::Speed(), kLinkSpeedFast);
  CTorvexChannel path;
  std::uint16_t model = 0;
  std::uint32_t serial = 0;
  ASSERT_EQ(PeripheralLink::GetActiveRoute(path, model, serial), 0);
  EXPECT_EQ(path.Length(), 0);  // the route was forgotten
  EXPECT_EQ(model, 0);
}

TEST_F(PeripheralLinkTest, LowLevelFramesLengthMustMatch) {
  Plug("1", "probe");
  const std::uint8_t scan[4] = {kLinkScanRequest, 0, 4, kLinkScanRequest ^ 4};
  EXPECT_EQ(PeripheralLink::SendFrame(scan, sizeof scan), 0);
  EXPECT_EQ(PeripheralLink::SendFrame(scan, 3), eLinkRefused);
  const std::uint8_t lying[5] = {kLinkScanRequest, 0, 9, 0, 0};
  EXPECT_EQ(PeripheralLink::SendFrame(lying, sizeof lying), eLinkRefused);
  const std::uint8_t* frame = nullptr;
  std::uint16_t length = 0;
  ASSERT_EQ(PeripheralLink::ReceiveFrame(kLinkIdentification, &frame, &length), 0);
  EXPECT_EQ(length, kLinkIdentificationFrameSize);
}

TEST_F(PeripheralLinkTest, CameraMemoryBlockReadsWhole) {
  Plug("1", "camera:3");
  std::vector<PeripheralScanEntry> list;
  ASSERT_EQ(PeripheralLink::ScanTopology(list), 0);
  std::vector<std::uint8_t> block;
  ASSERT_EQ(PeripheralLink::ReadMemoryBlock(list[0].path, list[0].id.model, list[0].id.serial, 0, 512, block), 0);
  ASSERT_GE(block.size(), kLinkMemoryBlockHeaderSize);
  EXPECT_EQ(block.size(), std::size_t((block[4] << 8) | block[5]));
  EXPECT_TRUE(PeripheralLink::CheckFrame(block.data(), kLinkMemoryBlockHeaderSize));
}

struct SenseCase {
  std::vector<std::uint16_t> samples;
  std::uint32_t state;
};

TEST(NmrPathState, AveragesAndClassifies) {
  EXPECT_EQ(NmrPathStateOf(1023), 0u);
  EXPECT_EQ(NmrPathStateOf(902), 0u);
  EXPECT_EQ(NmrPathStateOf(901), 1u);
  EXPECT_EQ(NmrPathStateOf(675), 1u);
  EXPECT_EQ(NmrPathStateOf(674), 2u);
  EXPECT_EQ(NmrPathStateOf(455), 2u);
  EXPECT_EQ(NmrPathStateOf(454), 3u);
  EXPECT_EQ(NmrPathStateOf(189), 3u);
  EXPECT_EQ(NmrPathStateOf(188), 0u);
  EXPECT_EQ(NmrPathStateOf(0), 0u);
  EXPECT_EQ(NmrPathStateOf(4000), 0u);
}

TEST(NmrPathState, FollowsWhatIsPlugged) {
  sim::Board& board = LinkBoard();
  torvex_test::ResetLinkWorld(board);
  struct Case {
    const char* kind;
    std::uint32_t state;
  };
  for (const Case c : {Case{nullptr, 0}, Case{"probe", 3}, Case{"camera", 2}, Case{"multiplexer", 1}}) {
    (void)board.peripherals().Unplug("1", nullptr);
    if (c.kind != nullptr) {
      ASSERT_TRUE(board.peripherals().Plug("1", c.kind, nullptr));
    }
    std::uint32_t state = 99;
    ASSERT_EQ(ReadNmrPathState(&state), 0);
    EXPECT_EQ(state, c.state) << (c.kind ? c.kind : "nothing");
  }
  (void)board.peripherals().Unplug("1", nullptr);
}

}  // namespace
}  // namespace Torvex
