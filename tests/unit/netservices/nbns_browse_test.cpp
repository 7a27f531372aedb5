// Host announcements: the datagram's bytes, and the announcement the server sends once a master
// browser of its workgroup answers.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "nbns_test_support.h"
#include "netservices/nbns.h"
#include "netservices/nbns_browse.h"
#include "support/wait_for.h"

using namespace Torvex;
using namespace nbns_test;
using namespace std::chrono_literals;

namespace {

const bool kFastTick = (platform::kernel::SetTickMicroseconds(1000), true);

std::vector<std::uint8_t> Le16(unsigned v) {
  return {static_cast<std::uint8_t>(v & 0xFF), static_cast<std::uint8_t>(v >> 8)};
}

std::vector<std::uint8_t> EncodedName(const std::string& name, std::uint8_t type) {
  std::vector<std::uint8_t> b(34);
  nbns_encode_name(name, b.data(), type);
  return b;
}

TEST(NbnsHostAnnouncement, Bytes) {
  g_NbnsOwnAddress = Address("10.0.0.5");
  const auto p = nbns_build_host_announcement(1, 138, "torvex", "WORKGRP", "bench", 2);
  const std::size_t data_length = 5 + 33;
  std::vector<std::uint8_t> host(16, 0);
  const std::string upper = "TORVEX";
  std::copy(upper.begin(), upper.end(), host.begin());
  const auto expected = Concat({
      Hex("11 02 0001 0A000005 008A"),
      {0, static_cast<std::uint8_t>(168 + data_length)},
      Hex("0000"),
      EncodedName("TORVEX", 0x00),
      EncodedName("WORKGRP", 0x1D),
      Hex("FF534D42 25"),
      std::vector<std::uint8_t>(27, 0),
      Hex("11"),
      Hex("0000"),
      Le16(data_length),
      Hex("0000 0000 00 00 0000 00000000 0000 0000 0000"),
      Le16(data_length),
      Le16(86),
      Hex("03 00 0100 0100 0200"),
      Le16(data_length + 17),
      Text("\\MAILSLOT\\BROWSE"),
      Hex("00"),
      Hex("01 06 60EA 0200"),
      host,
      Hex("01 33 030B0000 0B 03 55AA"),
      Text("bench"),
      Hex("00"),
  });
  EXPECT_EQ(p, expected);
}

TEST(NbnsHostAnnouncement, TextsAreCutOrReplaced) {
  const std::string comment60(60, 'c');
  auto p = nbns_build_host_announcement(1, 138, "A", "B", comment60, 2);
  ASSERT_EQ(p.size(), 168u + 47 + 33);
  EXPECT_EQ(std::string(p.begin() + 200, p.end() - 1), std::string(47, 'c'));
  EXPECT_EQ(p.back(), 0);

  p = nbns_build_host_announcement(1, 138, "", "", "", 2);
  ASSERT_EQ(p.size(), 168u + 9 + 33);
  EXPECT_EQ(std::string(p.begin() + 200, p.end() - 1), "NoComment");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.data()) + 174, 6), "NONAME");
  EXPECT_EQ(std::vector<std::uint8_t>(p.begin() + 48, p.begin() + 82), EncodedName("NoGroup", 0x1D));
}

// A port free at the moment (the server binds it next).
std::uint16_t FreePort() {
  UdpSocket probe(0, "0.0.0.0");
  return probe.Port();
}

TEST(NbnsBrowse, AMasterBrowserFoundGetsAnAnnouncementAtOnce) {
  ASSERT_TRUE(kFastTick);
  InterfaceTree interface_address("127.0.0.1", "255.0.0.0");
  const std::uint16_t datagram_port = FreePort();
  nbns_set_ports(0, datagram_port);
  // The master browser answers the server's query for the workgroup and watches the datagram port.
  std::optional<std::vector<std::uint8_t>> announcement;
  std::thread master_browser([&] {
    if (!torvex_test::WaitFor([] { return nbns_bound_name_port() != 0; })) return;
    const std::uint16_t port = nbns_bound_name_port();
    UdpSocket listener(port, "127.255.255.255", true);
    UdpSocket announcements(datagram_port, "127.255.255.255", true);
    UdpSocket sender;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!announcement && std::chrono::steady_clock::now() < deadline) {
      if (const auto query = listener.Receive(20ms); query && query->size() >= 50 && (*query)[2] == 0x01) {
        std::string name;
        if (nbns_extract_name({query->data(), query->size()}, 12, &name) == 0x1D && nbns_trim_name(name) == "WORKGRP") {
          sender.SendTo(nbns_build_query_response(TrnId(*query), {query->data() + 12, 34}, Address("127.0.0.1")), port);
        }
      }
      if (auto datagram = announcements.Receive(1ms); datagram && datagram->size() > 168 && (*datagram)[0] == 0x11) {
        announcement = std::move(datagram);
      }
    }
  });
  const std::uint8_t started = nbns_start("Torvex", "WORKGRP", "bench %h");
  master_browser.join();
  EXPECT_EQ(nbns_stop(), 0);
  nbns_set_ports(0, 0);
  ASSERT_EQ(started, kNbnsStartRegistered);
  ASSERT_TRUE(announcement.has_value());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(announcement->data()) + 174, 6), "TORVEX");
  EXPECT_EQ(std::string(announcement->begin() + 200, announcement->end() - 1), "bench 127");
  EXPECT_EQ(std::vector<std::uint8_t>(announcement->begin() + 48, announcement->begin() + 82),
            EncodedName("WORKGRP", 0x1D));
}

}  // namespace
