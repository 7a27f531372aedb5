// Configuration passes on the simulated link: what they do to the interface, in which order, and what
// they write into the tree, for DHCP (with and without options), static addresses, a disabled
// interface, failures, and the DHCP lease thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "unit/netservices/net_fixture.h"

#if defined(__SANITIZE_THREAD__)
// The network thread of the last pass has ended but is reaped only when the next pass starts, and the
// lease thread never ends: the program ends with them, by design.
extern "C" const char* __tsan_default_options() { return "report_thread_leaks=0"; }
#endif

namespace torvex_test {
namespace {

using Torvex::g_node_comm_parms_ethernet_broadcast;
using Torvex::g_node_comm_parms_ethernet_dns_server;
using Torvex::g_node_comm_parms_ethernet_domain;
using Torvex::g_node_comm_parms_ethernet_enabled;
using Torvex::g_node_comm_parms_ethernet_gateway;
using Torvex::g_node_comm_parms_ethernet_id;
using Torvex::g_node_comm_parms_ethernet_ip_address;
using Torvex::g_node_comm_parms_ethernet_net_mask;

class NetworkConfigurationTest : public NetFixture {};

struct DhcpCase {
  const char* name;
  sim::Network::DhcpOffer offer;
  // Expected tree after the pass.
  const char* ip;
  const char* mask;
  const char* broadcast;
  const char* gateway;
  const char* dns;
  const char* domain;
};

sim::Network::DhcpOffer Offer(const char* address, const char* server, const char* relay,
                              std::optional<std::string> mask, std::optional<std::string> router,
                              std::optional<std::string> dns, std::optional<std::string> domain) {
  sim::Network::DhcpOffer o;
  o.address = address;
  o.server = server;
  o.relay = relay;
  o.mask = std::move(mask);
  o.router = std::move(router);
  o.dns = std::move(dns);
  o.domain = std::move(domain);
  return o;
}

TEST_F(NetworkConfigurationTest, DhcpPassPublishesTheLeaseInOrder) {
  const DhcpCase cases[] = {
      {"all options",
       Offer("127.0.5.7", "127.0.0.9", "127.0.0.8", "255.255.0.0", "127.0.0.1", "127.0.0.53", "lab.example"),
       "127.0.5.7", "255.255.0.0", "127.0.255.255", "127.0.0.1", "127.0.0.53", "lab.example"},
      // Without router and name-server options the relay and server addresses stand in.
      {"no options",
       Offer("127.0.5.7", "127.0.0.9", "127.0.0.8", std::nullopt, std::nullopt, std::nullopt, std::nullopt),
       "127.0.5.7", "255.0.0.0", "127.255.255.255", "127.0.0.8", "127.0.0.9", "local"},
      {"mask only",
       Offer("127.1.2.3", "127.0.0.1", "0.0.0.0", "255.255.255.0", std::nullopt, std::nullopt, std::nullopt),
       "127.1.2.3", "255.255.255.0", "127.1.2.255", "0.0.0.0", "127.0.0.1", "local"},
  };
  for (const DhcpCase& c : cases) {
    SCOPED_TRACE(c.name);
    net_->SetDhcpServer(c.offer);
    net_->ClearObservations();
    ClearChanges();
    RunPass();

    EXPECT_TRUE(Active());
    EXPECT_EQ(Torvex::g_NetworkAddressMode, Torvex::kNetModeDhcp);
    EXPECT_EQ(Text(g_node_comm_parms_ethernet_ip_address), c.ip);
    EXPECT_EQ(Text(g_node_comm_parms_ethernet_net_mask), c.mask);
    EXPECT_EQ(Text(g_node_comm_parms_ethernet_broadcast), c.broadcast);
    EXPECT_EQ(Text(g_node_comm_parms_ethernet_gateway), c.gateway);
    EXPECT_EQ(Text(g_node_comm_parms_ethernet_dns_server), c.dns);
    EXPECT_EQ(Text(g_node_comm_parms_ethernet_domain), c.domain);
    EXPECT_EQ(net_->LastHostName(), "torvex-01");
    EXPECT_EQ(net_->DhcpRequests(1), 1);  // one discover
    EXPECT_EQ(net_->DhcpRequests(3), 1);  // one request

    // The interface: hardware address from system/esa, then up with the lease, then the loopback.
    const std::vector<std::string> log = net_->InterfaceLog();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 3], "hwaddr 00:50:c2:12:34:56");
    EXPECT_EQ(log[log.size() - 2].rfind(std::string("up ") + c.ip + " " + c.mask, 0), 0u) << log[log.size() - 2];
    EXPECT_EQ(log.back(), "loopback");

    // The tree: ethernet_active goes false before any address is written, true after the last.
    const auto changes = Changes();
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(changes.back().node, "ethernet_active");
    EXPECT_EQ(changes.back().value, "true");
    const auto first_address =
        std::find_if(changes.begin(), changes.end(), [](const Change& ch) { return ch.node != "ethernet_active"; });
    if (first_address != changes.end() && changes.front().node == "ethernet_active") {
      EXPECT_EQ(changes.front().value, "false");
    }
    std::vector<std::string> written;
    for (const Change& ch : changes) {
      if (ch.node != "ethernet_active") written.push_back(ch.node);
    }
    // Only changed values notify; those written keep the order of the publication.
    const std::vector<std::string> order = {"ip_address", "net_mask", "broadcast", "gateway", "dns_server", "domain"};
    std::size_t at = 0;
    for (const std::string& w : written) {
      while (at < order.size() && order[at] != w) ++at;
      EXPECT_LT(at, order.size()) << w << " out of order";
    }
  }
}

TEST_F(NetworkConfigurationTest, ActiveGoesFalseAtTheStartOfEveryPass) {
  RunPass();
  ASSERT_TRUE(Active());
  ClearChanges();
  RunPass();
  const auto changes = Changes();
  ASSERT_EQ(changes.size(), 2u);  // the same lease: only ethernet_active changes
  EXPECT_EQ(changes[0].node, "ethernet_active");
  EXPECT_EQ(changes[0].value, "false");
  EXPECT_EQ(changes[1].value, "true");
}

TEST_F(NetworkConfigurationTest, DisabledInterfaceIsHaltedAndWritesNothing) {
  RunPass();
  ASSERT_TRUE(net_->Up());
  Set(g_node_comm_parms_ethernet_enabled, false);
  Set(g_node_comm_parms_ethernet_ip_address, std::string("1.2.3.4"));
  ClearChanges();
  net_->ClearObservations();
  RunPass();
  EXPECT_FALSE(Active());
  EXPECT_FALSE(net_->Up());
  EXPECT_EQ(Text(g_node_comm_parms_ethernet_ip_address), "1.2.3.4");
  const auto changes = Changes();
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].node, "ethernet_active");
  EXPECT_EQ(net_->DhcpRequests(1), 0);
  EXPECT_FALSE(eth0_up);
}

TEST_F(NetworkConfigurationTest, StaticAddressesConfigureTheInterfaceAndStayInTheTree) {
  UseStatic("127.0.3.4", "255.255.255.0", "127.0.3.255", "127.0.3.1", "127.0.3.53");
  ClearChanges();
  RunPass();
  EXPECT_TRUE(Active());
  EXPECT_EQ(Torvex::g_NetworkAddressMode, Torvex::kNetModeStatic);
  EXPECT_EQ(net_->DhcpRequests(1), 0);
  const auto config = net_->Config();
  EXPECT_EQ(Dotted(config.address), "127.0.3.4");
  EXPECT_EQ(Dotted(config.mask), "255.255.255.0");
  EXPECT_EQ(Dotted(config.broadcast), "127.0.3.255");
  EXPECT_EQ(Dotted(config.gateway), "127.0.3.1");
  const auto changes = Changes();
  ASSERT_EQ(changes.size(), 1u);  // nothing written back; ethernet_active was false already
  EXPECT_EQ(changes[0].node, "ethernet_active");
  EXPECT_EQ(changes[0].value, "true");
  EXPECT_EQ(Text(g_node_comm_parms_ethernet_dns_server), "127.0.3.53");
}

TEST_F(NetworkConfigurationTest, FailuresLeaveTheInterfaceInactive) {
  struct Case {
    const char* name;
    bool refuse_hwaddr;
    const char* ip;
    int mode_after;  // expected g_NetworkAddressMode, or -1 for "unchanged"
  };
  const Case cases[] = {
      {"hardware address refused", true, "127.0.3.4", -1},
      {"empty static address", false, "", Torvex::kNetModeStatic},
      {"malformed static address", false, "127.0.3", Torvex::kNetModeStatic},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunPass();  // DHCP first: active
    ASSERT_TRUE(Active());
    const int mode_before = Torvex::g_NetworkAddressMode;
    UseStatic(c.ip, "255.255.255.0", "127.0.3.255", "0.0.0.0", "0.0.0.0");
    net_->SetRefuseHardwareAddress(c.refuse_hwaddr);
    net_->ClearObservations();
    RunPass();
    EXPECT_FALSE(Active());
    EXPECT_FALSE(net_->Up());
    EXPECT_EQ(Torvex::g_NetworkAddressMode, c.mode_after < 0 ? mode_before : c.mode_after);
    for (const std::string& line : net_->InterfaceLog()) EXPECT_NE(line.rfind("up ", 0), 0u) << line;
    net_->SetRefuseHardwareAddress(false);
    Set(Torvex::g_node_comm_parms_ethernet_auto_address, true);
  }
}

TEST_F(NetworkConfigurationTest, EmptyIdKeepsTheHostNameOfAnEarlierPass) {
  RunPass();
  EXPECT_EQ(net_->LastHostName(), "torvex-01");
  Set(g_node_comm_parms_ethernet_id, std::string(""));
  RunPass();
  EXPECT_EQ(net_->LastHostName(), "torvex-01");
  Set(g_node_comm_parms_ethernet_id, std::string("bench-7"));
  RunPass();
  EXPECT_EQ(net_->LastHostName(), "bench-7");
}

TEST_F(NetworkConfigurationTest, UnreadableEsaGivesZeroBytesForTheMissingOnes) {
  Set(Torvex::g_node_system_esa, std::string("2:4:zz"));
  RunPass();
  const auto log = net_->InterfaceLog();
  EXPECT_NE(std::find(log.begin(), log.end(), "hwaddr 02:04:00:00:00:00"), log.end());
}

// Holds a configuration pass at its last step, where it sets ethernet_active, while armed: requests
// made meanwhile surely come during the pass, however slowly the host runs the requesting thread.
struct PassGate {
  std::mutex lock;
  std::condition_variable changed;
  bool armed = false;
  bool held = false;

  static void OnActive(Torvex::CParameterNode* node, int kind, void* context) {
    if (kind != Torvex::eAttrValue || !node->GetBooleanAttribute(Torvex::eAttrValue)) return;
    auto* gate = static_cast<PassGate*>(context);
    std::unique_lock<std::mutex> g(gate->lock);
    if (!gate->armed) return;
    gate->held = true;
    gate->changed.notify_all();
    gate->changed.wait_for(g, std::chrono::seconds(20), [gate] { return !gate->armed; });
  }
  void Open() {
    {
      std::lock_guard<std::mutex> g(lock);
      armed = false;
    }
    changed.notify_all();
  }
};

TEST_F(NetworkConfigurationTest, RequestsDuringAPassRunItOnceMoreAfterIt) {
  static PassGate gate;  // the node keeps its subscribers after the test
  {
    std::lock_guard<std::mutex> g(gate.lock);
    gate.armed = true;
    gate.held = false;
  }
  struct OpenAtExit {
    ~OpenAtExit() { gate.Open(); }
  } open_at_exit;
  Torvex::g_node_host_if_communication_ethernet_active->Subscribe(&PassGate::OnActive, &gate);
  net_->SetDhcpServer(std::nullopt);  // link-local
  const std::uint32_t before = Torvex::NetworkPassCount();
  Torvex::StartNetworkThread();
  {
    std::unique_lock<std::mutex> g(gate.lock);
    ASSERT_TRUE(gate.changed.wait_for(g, std::chrono::seconds(20), [] { return gate.held; }));
  }
  ASSERT_EQ(Torvex::g_NetworkPassRunning, 1);
  Torvex::StartNetworkThread();
  Torvex::StartNetworkThread();
  gate.Open();
  ASSERT_TRUE(WaitForPasses(before + 2));
  // Two requests while running give one more pass, not two.
  ASSERT_TRUE(WaitFor([] { return Torvex::g_NetworkPassRunning == 0; }));
  EXPECT_EQ(Torvex::NetworkPassCount(), before + 2);
  EXPECT_TRUE(Active());
}

TEST_F(NetworkConfigurationTest, LostLeaseIsRenegotiatedWithoutTouchingTheTree) {
  sim::Network::DhcpOffer offer;
  offer.address = "127.0.7.7";
  offer.lease_seconds = 2;  // renewal after 1 s
  net_->SetDhcpServer(offer);
  net_->SetRenewal(sim::Network::Renewal::kNak);
  RunPass();
  ASSERT_TRUE(Active());
  const std::uint32_t passes = Torvex::NetworkPassCount();
  ClearChanges();
  // The refused renewal loses the lease; the lease thread runs DHCP again.
  ASSERT_TRUE(WaitFor([&] { return net_->DhcpRequests(1) >= 2 && net_->Up(); }, std::chrono::seconds(10)));
  net_->SetRenewal(sim::Network::Renewal::kAck);
  EXPECT_EQ(Dotted(net_->Config().address), "127.0.7.7");
  EXPECT_TRUE(Changes().empty());
  EXPECT_EQ(Torvex::NetworkPassCount(), passes);
  EXPECT_TRUE(Active());
}

TEST_F(NetworkConfigurationTest, RenewalWithAnotherAddressRequestsAPass) {
  sim::Network::DhcpOffer offer;
  offer.address = "127.0.7.7";
  offer.lease_seconds = 2;
  net_->SetDhcpServer(offer);
  RunPass();
  ASSERT_EQ(Text(g_node_comm_parms_ethernet_ip_address), "127.0.7.7");
  const std::uint32_t passes = Torvex::NetworkPassCount();
  // The server moves the instrument: the renewal acknowledges another address, and so does any
  // new exchange.
  offer.address = "127.0.8.8";
  offer.lease_seconds = 3600;
  net_->SetDhcpServer(offer);
  net_->SetRenewal(sim::Network::Renewal::kAck, "127.0.8.8");
  ASSERT_TRUE(WaitForPasses(passes + 1));
  EXPECT_EQ(Text(g_node_comm_parms_ethernet_ip_address), "127.0.8.8");
  EXPECT_TRUE(Active());
  net_->SetRenewal(sim::Network::Renewal::kAck);
}

TEST_F(NetworkConfigurationTest, RenewalThatKeepsTheAddressChangesNothing) {
  sim::Network::DhcpOffer offer;
  offer.lease_seconds = 2;
  net_->SetDhcpServer(offer);
  RunPass();
  const std::uint32_t passes = Torvex::NetworkPassCount();
  ClearChanges();
  ASSERT_TRUE(WaitFor([&] { return net_->DhcpRequests(3) >= 2; }, std::chrono::seconds(10)));  // the renewal
  EXPECT_EQ(net_->DhcpRequests(1), 1);
  EXPECT_EQ(Torvex::NetworkPassCount(), passes);
  EXPECT_TRUE(Changes().empty());
}

}  // namespace
}  // namespace torvex_test
