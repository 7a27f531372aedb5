// Test support of the network configuration tests: the simulated link installed as the board's
// network back end, a small parameter tree with the nodes the configuration reads and writes (bound
// to their global pointers), a record of the changes the pass makes to them, and waits for passes.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "netservices/NetworkConfiguration.h"
#include "netservices/ipv4ll.h"
#include "platform/kernel.h"
#include "platform/net.h"
#include "sim/network.h"
#include "support/wait_for.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace torvex_test {

// 200-us ticks for the whole program: a link-local claim (about 1300 ticks) takes about 0.3 s.
inline const bool kNetFastTick = (platform::kernel::SetTickMicroseconds(200), true);

inline constexpr std::uint8_t kBoardMac[6] = {0x00, 0x50, 0xc2, 0x12, 0x34, 0x56};
inline constexpr const char* kBoardEsa = "0:50:c2:12:34:56";

class NetFixture : public ::testing::Test {
 protected:
  struct Change {
    std::string node;
    std::string value;
  };

  void SetUp() override {
    ASSERT_TRUE(kNetFastTick);
    net_ = std::make_unique<sim::Network>();
    net_->Install();
    BuildTree();
  }

  void TearDown() override {
    // A last pass with the interface disabled stops a link-local monitor and halts the interface.
    Set(Torvex::g_node_comm_parms_ethernet_enabled, false);
    RunPass();
    net_.reset();
  }

  // Requests one pass and waits until every requested pass has ended.
  void RunPass() {
    const std::uint32_t before = Torvex::NetworkPassCount();
    Torvex::StartNetworkThread();
    ASSERT_TRUE(WaitFor([&] { return Torvex::NetworkPassCount() > before && Torvex::g_NetworkPassRunning == 0; },
                        std::chrono::seconds(20)));
  }

  bool WaitForPasses(std::uint32_t count) {
    return WaitFor([&] { return Torvex::NetworkPassCount() >= count && Torvex::g_NetworkPassRunning == 0; },
                   std::chrono::seconds(20));
  }

  static void Set(Torvex::CParameterNode* node, bool value) { node->SetBooleanAttribute(Torvex::eAttrValue, value); }
  static void Set(Torvex::CParameterNode* node, const std::string& value) {
    node->SetStringAttribute(Torvex::eAttrValue, value);
  }
  static std::string Text(Torvex::CParameterNode* node) { return node->GetStringAttribute(Torvex::eAttrValue); }
  static bool Active() {
    return Torvex::g_node_host_if_communication_ethernet_active->GetBooleanAttribute(Torvex::eAttrValue);
  }

  std::vector<Change> Changes() {
    std::lock_guard<std::mutex> g(changes_lock_);
    return changes_;
  }
  void ClearChanges() {
    std::lock_guard<std::mutex> g(changes_lock_);
    changes_.clear();
  }

  static std::string Dotted(std::uint32_t address) {
    char text[16];
    platform::net::AddressText(address, text);
    return text;
  }

  // The ARP frames the board sent, with the operation, sender and target protocol addresses.
  struct Arp {
    std::uint16_t operation;
    std::string sender;
    std::string target;
    cyg_tick_count_t tick;
  };
  std::vector<Arp> SentArp() const {
    std::vector<Arp> out;
    for (const auto& f : net_->SentFrames()) {
      if (f.frame.size() < 42 || f.frame[12] != 0x08 || f.frame[13] != 0x06) continue;
      std::uint32_t s, t;
      std::memcpy(&s, f.frame.data() + 28, 4);
      std::memcpy(&t, f.frame.data() + 38, 4);
      out.push_back({static_cast<std::uint16_t>((f.frame[20] << 8) | f.frame[21]), Dotted(s), Dotted(t), f.tick});
    }
    return out;
  }

  void UseStatic(const std::string& ip, const std::string& mask, const std::string& broadcast,
                 const std::string& gateway, const std::string& dns) {
    Set(Torvex::g_node_comm_parms_ethernet_auto_address, false);
    Set(Torvex::g_node_comm_parms_ethernet_ip_address, ip);
    Set(Torvex::g_node_comm_parms_ethernet_net_mask, mask);
    Set(Torvex::g_node_comm_parms_ethernet_broadcast, broadcast);
    Set(Torvex::g_node_comm_parms_ethernet_gateway, gateway);
    Set(Torvex::g_node_comm_parms_ethernet_dns_server, dns);
  }

  std::unique_ptr<sim::Network> net_;

 private:
  static void Record(Torvex::CParameterNode* node, int kind, void* context) {
    if (kind != Torvex::eAttrValue) return;
    auto* self = static_cast<NetFixture*>(context);
    std::string value = node->Type() == Torvex::eNodeType::Boolean
                            ? (node->GetBooleanAttribute(Torvex::eAttrValue) ? "true" : "false")
                            : node->GetStringAttribute(Torvex::eAttrValue);
    std::lock_guard<std::mutex> g(self->changes_lock_);
    self->changes_.push_back({node->Name(), value});
  }

  void BuildTree() {
    using Torvex::CParameterNode;
    using Torvex::eNodeType;
    delete root_;  // the last test's tree (its subscribers ignore the deletion)
    root_ = new CParameterNode("root", eNodeType::Branch);
    auto make = [&](const char* path, eNodeType type, CParameterNode** bound) {
      ASSERT_EQ(root_->FindOrCreateNode(path, type, bound), 0) << path;
      (*bound)->Subscribe(&NetFixture::Record, this);
    };
    make("comm_parms/ethernet/enabled", eNodeType::Boolean, &Torvex::g_node_comm_parms_ethernet_enabled);
    make("comm_parms/ethernet/auto_address", eNodeType::Boolean, &Torvex::g_node_comm_parms_ethernet_auto_address);
    make("comm_parms/ethernet/ip_address", eNodeType::String, &Torvex::g_node_comm_parms_ethernet_ip_address);
    make("comm_parms/ethernet/net_mask", eNodeType::String, &Torvex::g_node_comm_parms_ethernet_net_mask);
    make("comm_parms/ethernet/broadcast", eNodeType::String, &Torvex::g_node_comm_parms_ethernet_broadcast);
    make("comm_parms/ethernet/gateway", eNodeType::String, &Torvex::g_node_comm_parms_ethernet_gateway);
    make("comm_parms/ethernet/dns_server", eNodeType::String, &Torvex::g_node_comm_parms_ethernet_dns_server);
    make("comm_parms/ethernet/domain", eNodeType::String, &Torvex::g_node_comm_parms_ethernet_domain);
    make("comm_parms/ethernet/id", eNodeType::String, &Torvex::g_node_comm_parms_ethernet_id);
    make("system/esa", eNodeType::String, &Torvex::g_node_system_esa);
    make("host_if/communication/ethernet_active", eNodeType::Boolean,
         &Torvex::g_node_host_if_communication_ethernet_active);
    Set(Torvex::g_node_comm_parms_ethernet_enabled, true);
    Set(Torvex::g_node_comm_parms_ethernet_auto_address, true);
    Set(Torvex::g_node_comm_parms_ethernet_ip_address, std::string("0.0.0.0"));
    Set(Torvex::g_node_comm_parms_ethernet_net_mask, std::string("255.255.255.0"));
    Set(Torvex::g_node_comm_parms_ethernet_broadcast, std::string("255.255.255.255"));
    Set(Torvex::g_node_comm_parms_ethernet_gateway, std::string("0.0.0.0"));
    Set(Torvex::g_node_comm_parms_ethernet_dns_server, std::string("0.0.0.0"));
    Set(Torvex::g_node_comm_parms_ethernet_domain, std::string("local"));
    Set(Torvex::g_node_comm_parms_ethernet_id, std::string("torvex-01"));
    Set(Torvex::g_node_system_esa, std::string(kBoardEsa));
    ClearChanges();
  }

  // The tree outlives its fixture: the next fixture deletes it, and the last one is left to the end
  // of the process (the tree lock may be gone before any static destructor could delete it).
  static inline Torvex::CParameterNode* root_ = nullptr;
  std::mutex changes_lock_;
  std::vector<Change> changes_;
};

}  // namespace torvex_test
