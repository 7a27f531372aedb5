// The lifetime of peripheral objects: a counted reference keeps an object alive through a teardown of
// the topology, a camera head keeps its camera, and the last reference destroys the object.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/CRecursiveMutex.h"
#include "link_board.h"
#include "peripherals/CPeripheralReference.h"
#include "peripherals/CTorvexPeripheral.h"
#include "peripherals/CTorvexPwMeasuringPeripheral.h"
#include "peripherals/PwPhysicalInformation.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "tree/TopologyLock.h"

namespace Torvex {
namespace {

// A multiplexer-like object that says when it is destroyed.
class CountedPeripheral : public CTorvexPeripheral {
 public:
  CountedPeripheral(const CTorvexChannel& channel, std::atomic<int>* destroyed)
      : CTorvexPeripheral(channel), destroyed(destroyed) {}
  ~CountedPeripheral() override { ++*destroyed; }
  int GetType() override { return 3; }
  std::uint16_t GetModel() override { return 7; }
  int GetSerialNumber() override { return 8; }
  std::string GetDesignation() override { return "-"; }
  bool IsInitialized() override { return true; }
  int Initialize() override { return 0; }
  bool IsMeasuring() override { return false; }
  std::uint8_t GetChildCount() override { return 0; }

 private:
  std::atomic<int>* destroyed;
};

CTorvexChannel Connector() {
  CTorvexChannel channel;
  channel.AppendLevel(1);
  return channel;
}

class PeripheralReferenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_node_peripherals = &peripherals_;
    g_node_current_probe_object = &object_;
    g_ProbeInfoSource = eProbeInfoFromProbe;
  }
  void TearDown() override {
    CTorvexPeripheral::DeleteTopologyNodes(&peripherals_, true);
    g_node_peripherals = nullptr;
    g_node_current_probe_object = nullptr;
  }
  // A reference taken the way a user of the topology takes it: found under g_TopologyLock.
  static CPeripheralReference Hold(const std::string& path) {
    CRecursiveLockGuard topology(g_TopologyLock);
    return CPeripheralReference(CTorvexPeripheral::FindPeripheralByPath(path));
  }

  CParameterNode peripherals_{"peripherals", eNodeType::Branch};
  CParameterNode object_{"object", eNodeType::Pointer};
  std::atomic<int> destroyed_{0};
};

// The teardown takes the object out of the topology; the holder goes on using it, and giving up the
// last reference destroys it.
TEST_F(PeripheralReferenceTest, AHeldObjectOutlivesTheTeardownAndGoesWithItsLastReference) {
  CTorvexPeripheral::PublishPeripheral(new CountedPeripheral(Connector(), &destroyed_));
  CPeripheralReference held = Hold("1");
  ASSERT_TRUE(held);

  CTorvexPeripheral::DeleteTopologyNodes(&peripherals_, true);
  EXPECT_EQ(peripherals_.FirstChild(), nullptr);
  EXPECT_EQ(CTorvexPeripheral::FindPeripheralByPath("1"), nullptr);
  EXPECT_EQ(destroyed_.load(), 0);
  EXPECT_EQ(held->GetModel(), 7);
  EXPECT_EQ(CTorvexPeripheral::PathOf(held->GetChannel()), "1");

  // Copies and moves count as they should: only the last one destroys.
  CPeripheralReference copy = held;
  CPeripheralReference moved = std::move(held);
  EXPECT_FALSE(held);
  moved.Reset();
  EXPECT_EQ(destroyed_.load(), 0);
  copy = CPeripheralReference();
  EXPECT_EQ(destroyed_.load(), 1);

  // Without a holder the teardown destroys the object at once, as before.
  CTorvexPeripheral::PublishPeripheral(new CountedPeripheral(Connector(), &destroyed_));
  CTorvexPeripheral::DeleteTopologyNodes(&peripherals_, true);
  EXPECT_EQ(destroyed_.load(), 2);
}

// A head holds its camera: a measurement that keeps a head after the teardown still reaches the
// camera's identity and its head table.
TEST_F(PeripheralReferenceTest, AHeldCameraHeadKeepsItsCamera) {
  sim::Board& board = torvex_test::LinkBoard();
  torvex_test::ResetLinkWorld(board);
  std::string error;
  ASSERT_TRUE(board.peripherals().Plug("1", "camera:2", &error)) << error;
  std::vector<CTorvexChannel> list;
  ASSERT_EQ(CTorvexPeripheral::CreateTopology(list), 0);
  CPeripheralReference head = Hold("1/2");
  ASSERT_TRUE(head);
  ASSERT_TRUE(head->IsMeasuring());
  const std::uint16_t model = head->GetModel();
  const double maximum = static_cast<CTorvexPwMeasuringPeripheral*>(head.Get())->GetMaxFrequency();

  CTorvexPeripheral::DeleteTopologyNodes(&peripherals_, true);
  EXPECT_EQ(peripherals_.FirstChild(), nullptr);
  EXPECT_EQ(head->GetModel(), model);
  EXPECT_EQ(static_cast<CTorvexPwMeasuringPeripheral*>(head.Get())->GetMaxFrequency(), maximum);
  head.Reset();
  torvex_test::ResetLinkWorld(board);
}

// Threads that take and give up references while the topology is rebuilt again and again: every
// object is destroyed exactly once, by whoever lets it go last.
TEST_F(PeripheralReferenceTest, ReferencesTakenBesideRebuildsDestroyEachObjectOnce) {
  constexpr int kRounds = 300;
  std::atomic<bool> stop{false};
  std::vector<std::thread> users;
  for (int t = 0; t < 3; ++t) {
    users.emplace_back([&] {
      while (!stop.load()) {
        CPeripheralReference held = Hold("1");
        if (held) (void)held->GetModel();
      }
    });
  }
  for (int round = 0; round < kRounds; ++round) {
    CRecursiveLockGuard topology(g_TopologyLock);
    CTorvexPeripheral::DeleteTopologyNodes(&peripherals_, true);
    CTorvexPeripheral::PublishPeripheral(new CountedPeripheral(Connector(), &destroyed_));
  }
  stop = true;
  for (std::thread& user : users) user.join();
  EXPECT_EQ(destroyed_.load(), kRounds - 1);
  CTorvexPeripheral::DeleteTopologyNodes(&peripherals_, true);
  EXPECT_EQ(destroyed_.load(), kRounds);
}

}  // namespace
}  // namespace Torvex
