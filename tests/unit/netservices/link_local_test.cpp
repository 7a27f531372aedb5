// IPv4 link-local addressing on the simulated link: the claim's frames and timing, conflicts during
// the claim, defence by the monitor, and the receive hook.
#include <gtest/gtest.h>

#include <set>

#include "unit/netservices/net_fixture.h"

namespace torvex_test {
namespace {

constexpr std::uint8_t kOtherMac[6] = {0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};
constexpr std::uint8_t kNoMac[6] = {0, 0, 0, 0, 0, 0};

class LinkLocalTest : public NetFixture {
 protected:
  void SetUp() override {
    NetFixture::SetUp();
    net_->SetDhcpServer(std::nullopt);
  }

  std::string Claimed() const { return Dotted(Torvex::g_Ipv4llAddress); }

  // The monitor captures one ARP frame per installation of its hook: a test sends the next frame
  // once the hook is in place again.
  static bool HookInstalled() { return netdev_table[0]->funs->recv.load() == &Torvex::ipv4ll_arp_recv_hook; }
};

bool InLinkLocalRange(std::uint32_t address) {
  const std::uint32_t h = ntohl(address);
  return h >= 0xA9FE0100u && h <= 0xA9FEFDFFu;
}

TEST_F(LinkLocalTest, QuietLinkClaimsTheFirstCandidateWithinTheClaimTiming) {
  const cyg_tick_count_t start = cyg_current_time();
  RunPass();
  const std::string first = Dotted(Torvex::ipv4ll_first_candidate(kBoardMac));
  EXPECT_TRUE(Active());
  EXPECT_EQ(Torvex::g_NetworkAddressMode, Torvex::kNetModeLinkLocal);
  EXPECT_EQ(Text(Torvex::g_node_comm_parms_ethernet_ip_address), first);
  EXPECT_EQ(Text(Torvex::g_node_comm_parms_ethernet_net_mask), "255.255.0.0");
  EXPECT_EQ(Text(Torvex::g_node_comm_parms_ethernet_broadcast), "169.254.255.255");
  EXPECT_EQ(Text(Torvex::g_node_comm_parms_ethernet_gateway), "0.0.0.0");
  EXPECT_EQ(Text(Torvex::g_node_comm_parms_ethernet_dns_server), "0.0.0.0");
  EXPECT_EQ(Dotted(net_->Config().address), first);

  const auto arp = SentArp();
  ASSERT_EQ(arp.size(), 6u);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(arp[i].operation, 1);
    EXPECT_EQ(arp[i].sender, "0.0.0.0");  // probe
    EXPECT_EQ(arp[i].target, first);
    EXPECT_EQ(arp[i + 3].operation, 1);
    EXPECT_EQ(arp[i + 3].sender, first);  // announcement
    EXPECT_EQ(arp[i + 3].target, first);
  }
  // Ticks: 100 before the first probe, two random waits below 200, then 200 after the last probe
  // and after each announcement. Waits never end early on a quiet link; late wake-ups get a margin.
  constexpr cyg_tick_count_t kLate = 150;
  EXPECT_GE(arp[0].tick - start, 100u);
  EXPECT_LT(arp[1].tick - arp[0].tick, 200u + kLate);
  EXPECT_LT(arp[2].tick - arp[1].tick, 200u + kLate);
  EXPECT_GE(arp[3].tick - arp[2].tick, 200u);
  EXPECT_LT(arp[3].tick - arp[2].tick, 200u + kLate);
  EXPECT_GE(arp[4].tick - arp[3].tick, 200u);
  EXPECT_GE(arp[5].tick - arp[4].tick, 200u);
  // The frame as sent: broadcast, own MAC, 56 bytes.
  const auto frames = net_->SentFrames();
  ASSERT_EQ(frames[0].frame.size(), 56u);
  EXPECT_EQ(std::vector<std::uint8_t>(frames[0].frame.begin(), frames[0].frame.begin() + 6),
            std::vector<std::uint8_t>(6, 0xFF));
  EXPECT_EQ(0, std::memcmp(frames[0].frame.data() + 6, kBoardMac, 6));
  EXPECT_EQ(0, std::memcmp(frames[3].frame.data() + 32, kBoardMac, 6));  // announcement's target MAC
}

TEST_F(LinkLocalTest, CandidatesStayInRangeAndFollowTheLastFourMacBytes) {
  std::set<std::uint32_t> seen;
  for (unsigned i = 0; i < 2000; ++i) {
    const std::uint8_t mac[6] = {0,
                                 0x50,
                                 static_cast<std::uint8_t>(i >> 8),
                                 static_cast<std::uint8_t>(i),
                                 0x34,
                                 static_cast<std::uint8_t>(i * 7)};
    const std::uint32_t c = Torvex::ipv4ll_first_candidate(mac);
    EXPECT_TRUE(InLinkLocalRange(c)) << Dotted(c);
    seen.insert(c);
  }
  EXPECT_GT(seen.size(), 1800u);  // different MACs spread over the range
  const std::uint8_t a[6] = {0x11, 0x22, 1, 2, 3, 4};
  const std::uint8_t b[6] = {0x99, 0x88, 1, 2, 3, 4};
  EXPECT_EQ(Torvex::ipv4ll_first_candidate(a), Torvex::ipv4ll_first_candidate(b));
}

TEST_F(LinkLocalTest, ReplyToAProbeMovesTheClaimToANewCandidate) {
  const std::string first = Dotted(Torvex::ipv4ll_first_candidate(kBoardMac));
  net_->AddNeighbour(first, kOtherMac);
  RunPass();
  EXPECT_TRUE(Active());
  const std::string claimed = Text(Torvex::g_node_comm_parms_ethernet_ip_address);
  EXPECT_NE(claimed, first);
  EXPECT_TRUE(InLinkLocalRange(Torvex::g_Ipv4llAddress));
  EXPECT_EQ(claimed, Claimed());
  // Probing restarted for the new candidate: three probes and three announcements of it.
  int probes = 0, announcements = 0;
  for (const auto& a : SentArp()) {
    if (a.target != claimed) continue;
    (a.sender == "0.0.0.0" ? probes : announcements)++;
  }
  EXPECT_EQ(probes, 3);
  EXPECT_EQ(announcements, 3);
}

TEST_F(LinkLocalTest, RequestCarryingTheCandidateIsNoConflict) {
  // A host's own request that names the candidate as its sender ends a wait but is not a reply.
  Torvex::StartNetworkThread();
  const std::string first = Dotted(Torvex::ipv4ll_first_candidate(kBoardMac));
  ASSERT_TRUE(WaitFor([&] { return !SentArp().empty(); }));
  net_->InjectFrame(sim::Network::ArpFrame(1, kOtherMac, first, kNoMac, "0.0.0.0"));
  ASSERT_TRUE(WaitFor([] { return Torvex::g_NetworkPassRunning == 0; }, std::chrono::seconds(20)));
  EXPECT_EQ(Text(Torvex::g_node_comm_parms_ethernet_ip_address), first);
}

TEST_F(LinkLocalTest, TenConflictsSpaceTheProbesOut) {
  const std::uint8_t everyone[6] = {0x02, 1, 1, 1, 1, 1};
  net_->AddNeighbour("0.0.0.0", everyone);  // answers for every address
  Torvex::StartNetworkThread();
  // Eleven candidates probed: the last one after ten conflicts.
  ASSERT_TRUE(WaitFor(
      [&] {
        std::set<std::string> targets;
        for (const auto& a : SentArp()) targets.insert(a.target);
        return targets.size() >= 12;
      },
      std::chrono::seconds(30)));
  net_->RemoveNeighbours();
  ASSERT_TRUE(WaitFor([] { return Torvex::g_NetworkPassRunning == 0; }, std::chrono::seconds(30)));
  const auto arp = SentArp();
  // Every probe after the tenth conflict waits 6000 ticks before the next frame.
  std::vector<std::string> order;
  for (const auto& a : arp) {
    if (order.empty() || order.back() != a.target) order.push_back(a.target);
  }
  ASSERT_GE(order.size(), 12u);
  const std::string& last = order.back();
  std::vector<cyg_tick_count_t> ticks;
  for (const auto& a : arp) {
    if (a.target == last) ticks.push_back(a.tick);
  }
  ASSERT_EQ(ticks.size(), 6u);
  EXPECT_GE(ticks[1] - ticks[0], 6000u);
  EXPECT_GE(ticks[2] - ticks[1], 6000u);
  EXPECT_GE(ticks[3] - ticks[2], 6000u);
  EXPECT_LT(ticks[4] - ticks[3], 6000u);  // announcements keep their 200 ticks
  EXPECT_EQ(Text(Torvex::g_node_comm_parms_ethernet_ip_address), last);
}

TEST_F(LinkLocalTest, MonitorIgnoresTheOwnAnnouncementAndDefendsAgainstAnotherHost) {
  RunPass();
  const std::string claimed = Claimed();
  const std::uint32_t passes = Torvex::NetworkPassCount();
  ASSERT_TRUE(WaitFor(HookInstalled));

  // Own announcement: no conflict.
  net_->InjectFrame(sim::Network::ArpFrame(1, kBoardMac, claimed, kBoardMac, claimed));
  ASSERT_TRUE(WaitFor([&] { return net_->PendingFrames() == 0; }));
  ASSERT_TRUE(WaitFor(HookInstalled));
  EXPECT_EQ(Torvex::g_Ipv4llWatching, 1);
  EXPECT_EQ(Torvex::NetworkPassCount(), passes);

  // Another host announces the claimed address (and keeps it): the monitor requests a new pass,
  // which claims another address.
  net_->AddNeighbour(claimed, kOtherMac);
  net_->InjectFrame(sim::Network::ArpFrame(1, kOtherMac, claimed, kNoMac, claimed));
  ASSERT_TRUE(WaitForPasses(passes + 1));
  EXPECT_TRUE(Active());
  EXPECT_NE(Text(Torvex::g_node_comm_parms_ethernet_ip_address), claimed);
  EXPECT_EQ(Text(Torvex::g_node_comm_parms_ethernet_ip_address), Claimed());
  EXPECT_EQ(Torvex::NetworkPassCount(), passes + 1);
}

TEST_F(LinkLocalTest, MonitorStopsOnAQuietLink) {
  RunPass();
  ASSERT_TRUE(WaitFor(HookInstalled));
  Set(Torvex::g_node_comm_parms_ethernet_enabled, false);
  RunPass();  // stops the monitor though no frame arrives
  EXPECT_EQ(Torvex::g_Ipv4llMonitorDone, 1);
  EXPECT_EQ(Torvex::g_Ipv4llWatching, 0);
  EXPECT_FALSE(HookInstalled());  // the driver has its own entry back
  // A second stop (the mode is still link-local) does nothing.
  RunPass();
  EXPECT_FALSE(Active());
}

TEST_F(LinkLocalTest, FramesReachTheStackUnchangedWhileTheHookWatches) {
  RunPass();
  const std::string claimed = Claimed();
  ASSERT_TRUE(WaitFor(HookInstalled));
  net_->ClearObservations();
  // A non-ARP frame, and an ARP frame far longer than the capture buffer from another host with
  // the claimed address.
  std::vector<std::uint8_t> ip_frame(60, 0x5A);
  ip_frame[12] = 0x08;
  ip_frame[13] = 0x00;
  std::vector<std::uint8_t> long_arp = sim::Network::ArpFrame(2, kOtherMac, claimed, kBoardMac, claimed);
  long_arp.resize(14 + 3000, 0xA5);
  const std::uint32_t passes = Torvex::NetworkPassCount();
  net_->InjectFrame(ip_frame);
  ASSERT_TRUE(WaitFor([&] { return net_->PendingFrames() == 0; }));
  EXPECT_TRUE(HookInstalled());  // the hook stays in place after a non-ARP frame
  EXPECT_EQ(Torvex::g_Ipv4llWatching, 1);
  net_->AddNeighbour(claimed, kOtherMac);
  net_->InjectFrame(long_arp);
  ASSERT_TRUE(WaitForPasses(passes + 1));
  const auto stack = net_->StackFrames();
  ASSERT_GE(stack.size(), 2u);
  EXPECT_EQ(stack[0], ip_frame);
  EXPECT_EQ(stack[1], long_arp);
}

}  // namespace
}  // namespace torvex_test
