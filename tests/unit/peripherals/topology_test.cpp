// The topology built from the simulated controllers: the peripherals branch, the measuring channel
// list, teardown, routing, the rescan and the NMR-path monitor's actions.
#include <gtest/gtest.h>

#include <atomic>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "core/CLogger.h"
#include "link_board.h"
#include "peripherals/CTorvexPeripheral.h"
#include "peripherals/CTorvexPwMeasuringPeripheral.h"
#include "peripherals/PwPhysicalInformation.h"
#include "status/CScpiStatus.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "tree/TopologyLock.h"

namespace Torvex {
namespace {

std::string Text(const std::vector<CTorvexChannel>& list) {
  std::string out;
  for (const auto& c : list) out += (out.empty() ? "" : " ") + CTorvexPeripheral::PathOf(c);
  return out;
}

// Paths of the nodes below `node`, depth-first, with "*" for a node holding an object.
void Nodes(CParameterNode* node, const std::string& prefix, std::string& out) {
  for (CParameterNode* c = node->FirstChild(); c != nullptr; c = c->NextSibling()) {
    const std::string path = prefix.empty() ? c->Name() : prefix + "/" + c->Name();
    out += (out.empty() ? "" : " ") + path + (c->GetPointerAttribute(eAttrValue) != nullptr ? "*" : "");
    Nodes(c, path, out);
  }
}

class TopologyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    board_ = &torvex_test::LinkBoard();
    torvex_test::ResetLinkWorld(*board_);
    g_node_peripherals = &peripherals_;
    g_node_current_probe_object = &object_;
    g_node_current_probe_nmr_path_broken = &broken_;
    broken_.Subscribe(&TopologyTest::OnBroken, this);
    g_ProbeInfoSource = eProbeInfoFromProbe;
  }
  void TearDown() override {
    CTorvexPeripheral::DeleteTopologyNodes(&peripherals_, true);
    g_node_peripherals = nullptr;
    g_node_current_probe_object = nullptr;
    g_node_current_probe_nmr_path_broken = nullptr;
    torvex_test::ResetLinkWorld(*board_);
  }
  static void OnBroken(CParameterNode*, int kind, void* context) {
    if (kind == 0) static_cast<TopologyTest*>(context)->notifications_++;
  }
  void Plug(const std::string& path, const std::string& kind) {
    std::string error;
    ASSERT_TRUE(board_->peripherals().Plug(path, kind, &error)) << error;
  }
  std::string Branch() {
    std::string out;
    Nodes(&peripherals_, "", out);
    return out;
  }

  sim::Board* board_ = nullptr;
  CParameterNode peripherals_{"peripherals", eNodeType::Branch};
  CParameterNode object_{"object", eNodeType::Pointer};
  CParameterNode broken_{"nmr_path_broken", eNodeType::Boolean};
  std::atomic<int> notifications_{0};
};

struct TopologyCase {
  const char* name;
  std::vector<std::pair<const char*, const char*>> plugged;
  const char* nodes;
  const char* channels;
};
void PrintTo(const TopologyCase& c, std::ostream* os) { *os << c.name; }

class TopologyCases : public TopologyTest, public ::testing::WithParamInterface<TopologyCase> {};

TEST_P(TopologyCases, BranchAndChannelList) {
  for (const auto& [path, kind] : GetParam().plugged) Plug(path, kind);
  std::vector<CTorvexChannel> list{CTorvexChannel{}};
  ASSERT_EQ(CTorvexPeripheral::CreateTopology(list), 0);
  EXPECT_EQ(Branch(), GetParam().nodes);
  EXPECT_EQ(Text(list), GetParam().channels);
  EXPECT_EQ(object_.GetPointerAttribute(eAttrValue), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Topology, TopologyCases,
    ::testing::Values(TopologyCase{"ProbeOnConnector", {{"1", "probe"}}, "1*", "1"},
                      TopologyCase{"ProbeOnPortThree", {{"1", "multiplexer:4"}, {"1/3", "probe"}}, "1* 1/3*", "1/3"},
                      TopologyCase{"CameraWithThreeHeads", {{"1", "camera:3"}}, "1* 1/1* 1/2* 1/3*", "1/1 1/2 1/3 1"},
                      TopologyCase{"MultiplexerProbeCamera",
                                   {{"1", "multiplexer:3"}, {"1/1", "probe"}, {"1/2", "camera:2"}},
                                   "1* 1/1* 1/2* 1/2/1* 1/2/2*",
                                   "1/1 1/2/1 1/2/2 1/2"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TopologyTest, EmptyScanFailsAndLeavesTheTopology) {
  Plug("1", "probe");
  std::vector<CTorvexChannel> list;
  ASSERT_EQ(CTorvexPeripheral::CreateTopology(list), 0);
  ASSERT_TRUE(board_->peripherals().Unplug("1", nullptr));
  EXPECT_NE(CTorvexPeripheral::CreateTopology(list), 0);
  EXPECT_EQ(Branch(), "1*");
  EXPECT_TRUE(list.empty());
}

TEST_F(TopologyTest, CollectListsCameraBeforeItsHeads) {
  Plug("1", "camera:2");
  std::vector<CTorvexChannel> list;
  ASSERT_EQ(CTorvexPeripheral::CreateTopology(list), 0);
  CTorvexPeripheral::CollectMeasuringChannels(list, &peripherals_, true);
  EXPECT_EQ(Text(list), "1 1/1 1/2");
}

TEST_F(TopologyTest, CollectSkipsNodesWithoutObjectButWalksOn) {
  Plug("1", "multiplexer:3");
  Plug("1/1", "probe");
  Plug("1/3", "probe");
  std::vector<CTorvexChannel> list;
  ASSERT_EQ(CTorvexPeripheral::CreateTopology(list), 0);
  CParameterNode* first = nullptr;
  ASSERT_EQ(peripherals_.FindNode("1/1", &first), 0);
  // The first probe's node loses its object (as a node without object would be).
  auto* probe = static_cast<CTorvexPeripheral*>(first->GetPointerAttribute(eAttrValue));
  first->SetPointerAttribute(eAttrValue, nullptr);
  CTorvexPeripheral::CollectMeasuringChannels(list, &peripherals_, true);
  EXPECT_EQ(Text(list), "1/3");
  first->SetPointerAttribute(eAttrValue, probe);
}

TEST_F(TopologyTest, RescanReplacesObjectsAndClearsSelection) {
  Plug("1", "multiplexer:3");
  Plug("1/3", "probe");
  std::vector<CTorvexChannel> list;
  ASSERT_EQ(CTorvexPeripheral::CreateTopology(list), 0);
  CTorvexPeripheral* selected = nullptr;
  ASSERT_EQ(CTorvexPeripheral::CloseRoute(list), 0);
  ASSERT_EQ(CTorvexPeripheral::GetCurrentProbePath(&selected), 0);
  EXPECT_EQ(selected, CTorvexPeripheral::FindPeripheralByPath("1/3"));
  EXPECT_EQ(Text(g_CurrentChannelList), "1/3");
  ASSERT_EQ(CTorvexPeripheral::CreateTopology(list), 0);
  EXPECT_EQ(object_.GetPointerAttribute(eAttrValue), nullptr);
  EXPECT_TRUE(g_CurrentChannelList.empty());
  EXPECT_NE(CTorvexPeripheral::FindPeripheralByPath("1/3"), nullptr);
}

TEST_F(TopologyTest, SelectionRules) {
  Plug("1", "multiplexer:3");
  Plug("1/2", "probe");
  std::vector<CTorvexChannel> list;
  ASSERT_EQ(CTorvexPeripheral::CreateTopology(list), 0);
  CTorvexPeripheral* out = nullptr;
  EXPECT_EQ(CTorvexPeripheral::SelectChannel("1", &out), ePeripheralInvalidChannel);    // a multiplexer
  EXPECT_EQ(CTorvexPeripheral::SelectChannel("1/3", &out), ePeripheralInvalidChannel);  // no node
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(CTorvexPeripheral::CloseRoute({}), ePeripheralInvalidChannel);
  EXPECT_TRUE(g_CurrentChannelList.empty());
  ASSERT_EQ(CTorvexPeripheral::SelectChannel("1/2", &out), 0);
  EXPECT_EQ(object_.GetPointerAttribute(eAttrValue), out);
}

TEST_F(TopologyTest, RetrieveRescansOnlyWhenChanged) {
  std::vector<CTorvexChannel> list;
  EXPECT_EQ(CTorvexPeripheral::RetrieveTopology(list), ePeripheralNoProbe);  // nothing answers
  EXPECT_EQ(Branch(), "");
  Plug("1", "camera:2");
  ASSERT_EQ(CTorvexPeripheral::RetrieveTopology(list), 0);
  EXPECT_EQ(Text(list), "1/1 1/2 1");
  CTorvexPeripheral* camera = CTorvexPeripheral::FindPeripheralByPath("1");
  ASSERT_EQ(CTorvexPeripheral::RetrieveTopology(list), 0);
  EXPECT_EQ(Text(list), "1 1/1 1/2");  // unchanged: collected, camera first
  EXPECT_EQ(CTorvexPeripheral::FindPeripheralByPath("1"), camera);
  // A broken path always rebuilds, and the rebuild clears the flag.
  broken_.SetBooleanAttribute(eAttrValue, true);
  ASSERT_EQ(CTorvexPeripheral::RetrieveTopology(list), 0);
  EXPECT_EQ(Text(list), "1/1 1/2 1");
  EXPECT_FALSE(broken_.GetBooleanAttribute(eAttrValue));
}

TEST_F(TopologyTest, LowLevelQueryChecksTheFrame) {
  Plug("1", "probe");
  std::uint8_t status = 0;
  std::vector<std::uint8_t> bytes{0x24, 0, 4, 0x24 ^ 4};
  ASSERT_EQ(CTorvexPeripheral::LowLevelQuery(bytes, &status), 0);
  EXPECT_TRUE(bytes.empty());
  EXPECT_EQ(status & 1, 1);
  // A read uses only its address byte: whatever follows it is not looked at.
  for (const std::vector<std::uint8_t>& read :
       {std::vector<std::uint8_t>{0x25, 0, 4, 0x25 ^ 4}, std::vector<std::uint8_t>{0x25},
        std::vector<std::uint8_t>{0x25, 0, 9}, std::vector<std::uint8_t>{0x25, 0xff, 0xff, 0, 0, 0}}) {
    bytes = read;
    ASSERT_EQ(CTorvexPeripheral::LowLevelQuery(bytes, &status), 0) << read.size();
    ASSERT_EQ(bytes.size(), 16u) << read.size();
    EXPECT_EQ(bytes[0], 0x25);
    EXPECT_EQ(bytes[2], 16);
  }
  for (std::vector<std::uint8_t> bad : {std::vector<std::uint8_t>{}, std::vector<std::uint8_t>{0x24, 0, 4},
                                        std::vector<std::uint8_t>{0x24, 0, 9, 0x2d}}) {
    EXPECT_EQ(CTorvexPeripheral::LowLevelQuery(bad, &status), 11);
    EXPECT_TRUE(bad.empty());
  }
}

TEST_F(TopologyTest, MonitorStepTable) {
  CScpiStatus client(nullptr, nullptr, &g_ScpiStatusTemplate);
  struct Case {
    std::uint32_t previous, current;
    bool plugged, broken;
  };
  for (const Case c :
       {Case{0, 3, true, false}, Case{0, 1, true, false}, Case{3, 2, false, false}, Case{2, 3, false, true},
        Case{1, 2, false, true}, Case{3, 0, false, true}, Case{2, 2, false, false}}) {
    broken_.SetBooleanAttribute(eAttrValue, false);
    notifications_ = 0;
    // A marker line, so that what the step logs is found even when the log ring has wrapped.
    const std::string marker = "monitor step " + std::to_string(c.previous) + "->" + std::to_string(c.current) + "\n";
    g_Logger.Printf("%s", marker.c_str());
    client.ClearEvent(kOperationBit12Register);
    TopologyMonitorStep(c.previous, c.current);
    std::uint16_t rows = 0;
    client.GetEvent(kOperationBit12Register, rows);
    // Row 67 (peripheral plugged) and row 66 (NMR path broken), device-wide: every client has them.
    EXPECT_EQ(rows & 0x0060, (c.plugged ? 0x0040 : 0) | (c.broken ? 0x0020 : 0)) << c.previous << "->" << c.current;
    char* after = g_Logger.CopyBuffer();
    const std::string log = after;
    delete[] after;
    const std::size_t at = log.rfind(marker);
    ASSERT_NE(at, std::string::npos);
    const std::string added = log.substr(at + marker.size());
    EXPECT_EQ(added.find("TopologyMonitor: Peripheral plugged") != std::string::npos, c.plugged)
        << c.previous << "->" << c.current;
    EXPECT_EQ(added.find("TopologyMonitor: NMR Path broken") != std::string::npos, c.broken)
        << c.previous << "->" << c.current;
    EXPECT_EQ(broken_.GetBooleanAttribute(eAttrValue), c.broken);
    EXPECT_EQ(notifications_, c.broken ? 1 : 0);
  }
  // A second break while the flag is still set notifies nobody.
  TopologyMonitorStep(3, 0);
  ASSERT_TRUE(broken_.GetBooleanAttribute(eAttrValue));
  notifications_ = 0;
  TopologyMonitorStep(1, 0);
  EXPECT_EQ(notifications_, 0);
}

// Lookups and uses under the topology lock, and the monitor's reports (which take no topology lock),
// against rescans on another thread (run under tsan).
TEST_F(TopologyTest, LookupsAndMonitorRaceRescansSafely) {
  Plug("1", "multiplexer:2");
  Plug("1/1", "probe");
  std::vector<CTorvexChannel> list;
  ASSERT_EQ(CTorvexPeripheral::CreateTopology(list), 0);
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop) {
      CRecursiveLockGuard topology(g_TopologyLock);
      if (CTorvexPeripheral* p = CTorvexPeripheral::FindPeripheralByPath("1/1")) (void)p->GetModel();
    }
  });
  std::thread monitor([&] {
    for (std::uint32_t i = 0; !stop; ++i) TopologyMonitorStep(i % 2 == 0 ? 1 : 0, i % 2 == 0 ? 0 : 1);
  });
  for (int i = 0; i < 20; ++i) {
    std::vector<CTorvexChannel> l;
    ASSERT_EQ(CTorvexPeripheral::CreateTopology(l), 0);
  }
  stop = true;
  reader.join();
  monitor.join();
}

}  // namespace
}  // namespace Torvex

namespace Torvex {
namespace {

// A teardown with purge: objects destroyed, nodes removed, selection and closed channel list emptied.
TEST_F(TopologyTest, TeardownWithPurgeEmptiesEverything) {
  Plug("1", "multiplexer:2");
  Plug("1/2", "probe");
  std::vector<CTorvexChannel> list;
  ASSERT_EQ(CTorvexPeripheral::CreateTopology(list), 0);
  ASSERT_EQ(CTorvexPeripheral::CloseRoute(list), 0);
  ASSERT_NE(object_.GetPointerAttribute(eAttrValue), nullptr);
  ASSERT_FALSE(g_CurrentChannelList.empty());
  CTorvexPeripheral::DeleteTopologyNodes(g_node_peripherals, true);
  EXPECT_EQ(Branch(), "");
  EXPECT_EQ(object_.GetPointerAttribute(eAttrValue), nullptr);
  EXPECT_TRUE(g_CurrentChannelList.empty());
  EXPECT_EQ(CTorvexPeripheral::FindPeripheralByPath("1/2"), nullptr);
}

}  // namespace
}  // namespace Torvex

namespace Torvex {
namespace {

// A probe's Hall sensor reads the board's field through its calibration (one count per 0.1 mT, the
// computed axes in microtesla).
TEST_F(TopologyTest, HallSensorReadsTheBoardsField) {
  Plug("1", "probe");
  std::vector<CTorvexChannel> list;
  ASSERT_EQ(CTorvexPeripheral::CreateTopology(list), 0);
  ASSERT_EQ(CTorvexPeripheral::CloseRoute(list), 0);
  CRecursiveLockGuard topology(g_TopologyLock);
  auto* probe = static_cast<CTorvexPwMeasuringPeripheral*>(CTorvexPeripheral::FindPeripheralByPath("1"));
  ASSERT_NE(probe, nullptr);
  struct Case {
    double x, y, z;
    int ex, ey, ez;
  };
  for (const Case c : {Case{0, 0, 0, 0, 0, 0}, Case{0.001, -0.002, 1.0, 1000, -2000, 1000000},
                       Case{-3.0, 0, 0.5, -3000000, 0, 500000}}) {
    board_->peripherals().SetField(c.x, c.y, c.z);
    int x = 1, y = 1, z = 1;
    unsigned total = 0;
    ASSERT_EQ(probe->ReadHallField(&x, &y, &z, &total), 0);
    EXPECT_EQ(x, c.ex);
    EXPECT_EQ(y, c.ey);
    EXPECT_EQ(z, c.ez);
  }
  board_->peripherals().SetField(0, 0, 0);
}

}  // namespace
}  // namespace Torvex

namespace Torvex {
namespace {

// A camera head is closed and selected on its own route (the camera's path and the head number, with
// the camera's model and serial number): the controllers report that route as the active one, and the
// DSP's receiver then meets that head with its own frequency range.
TEST_F(TopologyTest, CameraHeadsAreSelectedOnTheirOwnRoutes) {
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, const char*>> plugged;
    const char* head;
    unsigned number;
  };
  const Case cases[] = {
      {"head 1 on the connector", {{"1", "camera:2"}}, "1/1", 1},
      {"head 2 on the connector", {{"1", "camera:2"}}, "1/2", 2},
      {"head 3 behind a multiplexer", {{"1", "multiplexer:2"}, {"1/2", "camera:3"}}, "1/2/3", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    torvex_test::ResetLinkWorld(*board_);
    for (const auto& [path, kind] : c.plugged) Plug(path, kind);
    std::vector<CTorvexChannel> list;
    ASSERT_EQ(CTorvexPeripheral::CreateTopology(list), 0);
    CTorvexPeripheral* head = CTorvexPeripheral::FindPeripheralByPath(c.head);
    ASSERT_NE(head, nullptr);
    ASSERT_EQ(CTorvexPeripheral::CloseRoute({head->GetChannel()}), 0);
    EXPECT_EQ(Text(g_CurrentChannelList), c.head);
    CTorvexPeripheral* current = nullptr;
    ASSERT_EQ(CTorvexPeripheral::GetCurrentProbePath(&current), 0);
    EXPECT_EQ(current, head);

    const sim::NmrWorld world = board_->peripherals().NmrSource();
    EXPECT_TRUE(world.path_intact);
    CRecursiveLockGuard topology(g_TopologyLock);
    auto* measuring = static_cast<CTorvexPwMeasuringPeripheral*>(head);
    EXPECT_EQ(world.min_frequency, measuring->GetMinFrequency());
    EXPECT_EQ(world.max_frequency, measuring->GetMaxFrequency());
    EXPECT_EQ(world.gyro_ratio, measuring->GetGyromagneticRatio());
    double low = 0, high = 0;
    sim::PeripheralControllers::CameraHeadRange(c.number, &low, &high);
    EXPECT_EQ(world.min_frequency, low);
    EXPECT_EQ(world.max_frequency, high);
  }
}

// Heads have no controller of their own: a command addressed to a head's route is refused, while the
// same command to the camera is answered.
TEST_F(TopologyTest, CommandsOnAHeadRouteAreRefused) {
  Plug("1", "camera:2");
  std::vector<CTorvexChannel> list;
  ASSERT_EQ(CTorvexPeripheral::CreateTopology(list), 0);
  CRecursiveLockGuard topology(g_TopologyLock);
  CTorvexPeripheral* camera = CTorvexPeripheral::FindPeripheralByPath("1");
  ASSERT_NE(camera, nullptr);
  const std::uint16_t model = camera->GetModel();
  const auto serial = static_cast<std::uint32_t>(camera->GetSerialNumber());
  std::uint32_t statusBits = 0;
  PeripheralLinkRequest request{11, nullptr, 0};
  EXPECT_EQ(PeripheralLink::SendCommand(CTorvexChannel{}, model, serial, request, &statusBits), 0);
  CTorvexChannel headPath;
  ASSERT_TRUE(headPath.AppendLevel(1));
  request = {11, nullptr, 0};
  EXPECT_EQ(PeripheralLink::SendCommand(headPath, model, serial, request, &statusBits), 11);
  EXPECT_NE(statusBits, 0u);
}

}  // namespace
}  // namespace Torvex
