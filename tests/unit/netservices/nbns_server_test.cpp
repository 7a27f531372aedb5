// The name server thread on the loopback interface: start and stop, registration and refresh of the
// host name, answers to peers, the release at the end, and a flood of datagrams.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "nbns_test_support.h"
#include "netservices/nbns.h"
#include "support/wait_for.h"

using namespace Torvex;
using namespace nbns_test;
using namespace std::chrono_literals;

namespace {

// The NB_ADDRESS that ends a registration, refresh or release request, dotted.
std::string RecordAddress(const std::vector<std::uint8_t>& p) {
  if (p.size() < 4) return "";
  in_addr a{};
  std::memcpy(&a.s_addr, p.data() + p.size() - 4, 4);
  return inet_ntoa(a);
}

// 1-ms ticks: a start blocks its caller 0.5 s instead of 5 s.
const bool kFastTick = (platform::kernel::SetTickMicroseconds(1000), true);

std::atomic<std::time_t> s_Now{0};
std::time_t TestClock() { return s_Now.load(); }

class NbnsServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kFastTick);
    nbns_set_ports(0, 0);
  }
  void TearDown() override {
    nbns_stop();
    nbns_set_clock(nullptr);
  }

  // Asks the running server for `name` (unicast, or broadcast to 127.255.255.255) and returns the
  // answered address, or "" when no answer came within `limit`.
  std::string Query(const std::string& name, std::uint8_t type = 0x20, bool broadcast = false,
                    std::chrono::milliseconds limit = 5s) {
    const std::uint16_t id = ++m_TrnId;
    m_Client.SendTo(nbns_build_name_query(id, name, type, broadcast), nbns_bound_name_port(),
                    broadcast ? "127.255.255.255" : "127.0.0.1");
    const auto answer = m_Client.ReceiveMatching([&](const auto& p) { return TrnId(p) == id; }, limit);
    return answer ? AnsweredAddress(*answer) : "";
  }

  // Whether the server answers `absent` : the query for it goes first, then one for `present`;
  // datagrams are handled in order, so once the second answer is in, the first would be too.
  bool AnsweredBefore(const std::string& absent, const std::string& present) {
    const std::uint16_t first = ++m_TrnId;
    const std::uint16_t second = ++m_TrnId;
    m_Client.SendTo(nbns_build_name_query(first, absent, 0x20, false), nbns_bound_name_port());
    m_Client.SendTo(nbns_build_name_query(second, present, 0x20, false), nbns_bound_name_port());
    bool first_answered = false;
    const auto last = m_Client.ReceiveMatching(
        [&](const auto& p) {
          first_answered = first_answered || TrnId(p) == first;
          return TrnId(p) == second;
        },
        5s);
    EXPECT_TRUE(last.has_value()) << present << " is answered";
    return first_answered;
  }

  InterfaceTree m_Interface{"127.0.0.1", "255.0.0.0"};
  UdpSocket m_Client;
  std::uint16_t m_TrnId = 0x100;
};

TEST_F(NbnsServerTest, AnswersForTheHostNameWithTheInterfaceAddress) {
  ASSERT_EQ(nbns_start("Torvex", "WORKGRP", "bench"), kNbnsStartRegistered);
  EXPECT_TRUE(nbns_running());
  EXPECT_EQ(Query("TORVEX"), "127.0.0.1");
  EXPECT_EQ(Query("torvex", 0x00, true), "127.0.0.1");
  EXPECT_EQ(Query("TORVEX", 0x03), "127.0.0.1");

  m_Client.SendTo(nbns_build_node_status_request(0x777, "*", 0x00), nbns_bound_name_port());
  const auto status = m_Client.ReceiveMatching([](const auto& p) { return TrnId(p) == 0x777; }, 5s);
  ASSERT_TRUE(status.has_value());
  std::vector<NbnsStatusName> names;
  ASSERT_TRUE(nbns_read_status_names({status->data(), status->size()}, &names));
  ASSERT_EQ(names.size(), 6u);
  EXPECT_EQ(names[0].name, "WORKGRP");
  EXPECT_EQ(names[1].name, "TORVEX");
  EXPECT_EQ(names[4].name, "__SAMBA__");
  EXPECT_EQ(nbns_stop(), 0);
  EXPECT_FALSE(nbns_running());
}

TEST_F(NbnsServerTest, AnEmptyHostNameBecomesTheFirstNumberOfTheAddress) {
  ASSERT_EQ(nbns_start("", "", ""), kNbnsStartRegistered);
  EXPECT_EQ(Query("127"), "127.0.0.1");
}

TEST_F(NbnsServerTest, ARestartWithANewNameAnswersOnlyTheNewName) {
  ASSERT_EQ(nbns_start("OLDNAME", "WORKGRP", ""), kNbnsStartRegistered);
  EXPECT_EQ(Query("OLDNAME"), "127.0.0.1");
  EXPECT_EQ(nbns_stop(), 0);
  ASSERT_EQ(nbns_start("NEWNAME", "WORKGRP", ""), kNbnsStartRegistered);
  EXPECT_FALSE(AnsweredBefore("OLDNAME", "NEWNAME"));
}

TEST_F(NbnsServerTest, AStartStopsTheRunningServerFirst) {
  ASSERT_EQ(nbns_start("FIRST", "WORKGRP", ""), kNbnsStartRegistered);
  const std::uint16_t first_port = nbns_bound_name_port();
  ASSERT_EQ(nbns_start("SECOND", "WORKGRP", ""), kNbnsStartRegistered);
  EXPECT_TRUE(nbns_running());
  EXPECT_NE(nbns_bound_name_port(), first_port);
  UdpSocket rebound(first_port, "0.0.0.0");
  EXPECT_TRUE(rebound.Bound()) << "the first server closed its socket";
  EXPECT_FALSE(AnsweredBefore("FIRST", "SECOND"));
}

TEST_F(NbnsServerTest, AFailedStartLeavesNothingRunning) {
  ASSERT_EQ(nbns_start("FIRST", "WORKGRP", ""), kNbnsStartRegistered);
  const std::uint16_t first_port = nbns_bound_name_port();
  UdpSocket blocker(0, "0.0.0.0");
  ASSERT_TRUE(blocker.Bound());
  nbns_set_ports(blocker.Port(), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(nbns_start("SECOND", "WORKGRP", ""), kNbnsStartFailed);
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(nbns_running());
  EXPECT_EQ(nbns_bound_name_port(), 0);
  UdpSocket rebound(first_port, "0.0.0.0");
  EXPECT_TRUE(rebound.Bound()) << "the running server was stopped";
  EXPECT_EQ(nbns_stop(), 0);
}

TEST_F(NbnsServerTest, RegistersThreeTimesThenRefreshesAndReleasesAtTheEnd) {
  s_Now.store(1000000);
  nbns_set_clock(TestClock);
  std::unique_ptr<UdpSocket> listener;
  std::thread watcher([&] {
    ASSERT_TRUE(torvex_test::WaitFor([] { return nbns_bound_name_port() != 0; }));
    listener = std::make_unique<UdpSocket>(nbns_bound_name_port(), "127.255.255.255", true);
  });
  ASSERT_EQ(nbns_start("TORVEX", "WORKGRP", ""), kNbnsStartRegistered);
  watcher.join();
  ASSERT_TRUE(listener && listener->Bound());
  const auto of_kind = [](std::uint8_t byte2) {
    return [byte2](const auto& p) { return p.size() > 2 && p[2] == byte2; };
  };
  // The first request may have gone out before the listener was bound; the later ones are seen in turn.
  const auto second = listener->ReceiveMatching(of_kind(0x29), 5s);
  ASSERT_TRUE(second.has_value());
  EXPECT_GE(TrnId(*second), 374);
  EXPECT_LE(TrnId(*second), 376);
  std::string name;
  EXPECT_EQ(nbns_extract_name({second->data(), second->size()}, 12, &name), 0x20);
  EXPECT_EQ(nbns_trim_name(name), "TORVEX");
  EXPECT_EQ(RecordAddress(*second), "127.0.0.1");

  // Ten minutes later the next cycle (which a datagram starts) refreshes the name.
  ASSERT_EQ(Query("TORVEX"), "127.0.0.1");
  s_Now.store(1000000 + 600);
  std::optional<std::vector<std::uint8_t>> refresh;
  ASSERT_TRUE(torvex_test::WaitFor(
      [&] {
        Query("TORVEX", 0x20, false, 200ms);
        refresh = listener->ReceiveMatching(of_kind(0x48), 50ms);
        return refresh.has_value();
      },
      30s));
  EXPECT_EQ(TrnId(*refresh), 377);

  EXPECT_EQ(nbns_stop(), 0) << "shutting down unconnected UDP sockets is no failure";
  const auto release = listener->ReceiveMatching(of_kind(0x30), 5s);
  ASSERT_TRUE(release.has_value());
  EXPECT_EQ(TrnId(*release), 374);
  EXPECT_EQ(RecordAddress(*release), "127.0.0.1");
}

TEST_F(NbnsServerTest, ANegativeRegistrationResponseMakesTheStartReturn1) {
  std::thread objector([&] {
    ASSERT_TRUE(torvex_test::WaitFor([] { return nbns_bound_name_port() != 0; }));
    const std::uint16_t port = nbns_bound_name_port();
    UdpSocket listener(port, "127.255.255.255", true);
    const auto request = listener.ReceiveMatching([](const auto& p) { return p.size() > 46 && p[2] == 0x29; }, 5s);
    ASSERT_TRUE(request.has_value());
    const auto refusal = nbns_build_registration_response(TrnId(*request), false, {request->data() + 12, 34}, 0, 0,
                                                          Address("127.0.0.2"));
    UdpSocket sender;
    sender.SendTo(refusal, port);
  });
  EXPECT_EQ(nbns_start("TORVEX", "WORKGRP", ""), kNbnsStartRefused);
  objector.join();
  EXPECT_TRUE(nbns_running()) << "the server keeps running";
  EXPECT_EQ(Query("TORVEX"), "127.0.0.1");
}

TEST_F(NbnsServerTest, AFloodOfDatagramsLeavesTheServerAnswering) {
  ASSERT_EQ(nbns_start("TORVEX", "WORKGRP", ""), kNbnsStartRegistered);
  const std::uint16_t port = nbns_bound_name_port();
  std::mt19937 random(21);
  UdpSocket flooder;
  testing::internal::CaptureStdout();
  for (int i = 0; i < 4000; ++i) {
    std::vector<std::uint8_t> p;
    switch (i % 5) {
      case 0:
        p = nbns_build_name_query(static_cast<std::uint16_t>(i), "STRANGER" + std::to_string(i), 0x20, false);
        break;
      case 1:
        p = nbns_build_name_request(NbnsNameRequest::Refresh, static_cast<std::uint16_t>(i), "PEER" + std::to_string(i),
                                    0x20, Address("127.0.0.9"));
        p[3] = 0;
        break;
      case 2: p = nbns_build_node_status_request(static_cast<std::uint16_t>(i), "*", 0); break;
      default:
        p.resize(random() % 80);
        for (auto& b : p) b = static_cast<std::uint8_t>(random());
        break;
    }
    flooder.SendTo(p, port);
  }
  // Some datagrams of the flood may be dropped by the socket queue; ask until the answer comes.
  std::string answer;
  EXPECT_TRUE(torvex_test::WaitFor([&] { return (answer = Query("TORVEX", 0x20, false, 500ms)) == "127.0.0.1"; }, 20s));
  EXPECT_EQ(nbns_stop(), 0);
  testing::internal::GetCapturedStdout();
}

TEST_F(NbnsServerTest, LongTextsAreCutToTheArgumentBuffers) {
  const std::string long_text(5000, 'x');
  ASSERT_EQ(nbns_start(long_text, long_text, long_text), kNbnsStartRegistered);
  EXPECT_EQ(Query(std::string(15, 'x')), "127.0.0.1");
}

TEST_F(NbnsServerTest, SocketsAboveDescriptor31AreWaitedOn) {
  std::vector<int> filler;
  while (filler.empty() || filler.back() < 64) {
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    filler.push_back(fd);
  }
  ASSERT_EQ(nbns_start("TORVEX", "WORKGRP", ""), kNbnsStartRegistered);
  EXPECT_EQ(Query("TORVEX"), "127.0.0.1");
  EXPECT_EQ(nbns_stop(), 0);
  for (int fd : filler) close(fd);
}

TEST_F(NbnsServerTest, StopWithoutAServerDoesNothing) {
  EXPECT_FALSE(nbns_running());
  EXPECT_EQ(nbns_stop(), 0);
}

}  // namespace
