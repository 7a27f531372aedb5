// GetInterfaceAddresses on hand-made records: which fields and options give which address, and that
// the option walk stays inside the vendor area and each option's length.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "netservices/NetworkConfiguration.h"
#include "platform/net.h"
#include "sim/network.h"

namespace {

struct Addresses {
  std::string address, mask, broadcast, gateway, server, domain;
};

Addresses Get() {
  char a[16], m[16], b[16], g[16], s[16], d[256];
  Torvex::GetInterfaceAddresses(a, m, b, g, s, d);
  return {a, m, b, g, s, d};
}

std::uint32_t Ip(const char* text) {
  std::uint32_t v = 0;
  EXPECT_TRUE(platform::net::ParseAddress(text, &v)) << text;
  return v;
}

// A record with yiaddr 10.1.2.3, siaddr 10.0.0.9, giaddr 10.0.0.1 and the given options area (the
// magic cookie is added unless `cookie` is false; `options` is cut at the vendor area).
void Load(const std::vector<std::uint8_t>& options, bool cookie = true) {
  std::memset(&eth0_bootp_data, 0, sizeof eth0_bootp_data);
  eth0_bootp_data.bp_yiaddr.s_addr = Ip("10.1.2.3");
  eth0_bootp_data.bp_siaddr.s_addr = Ip("10.0.0.9");
  eth0_bootp_data.bp_giaddr.s_addr = Ip("10.0.0.1");
  if (cookie) {
    const std::uint8_t c[4] = {99, 130, 83, 99};
    std::memcpy(eth0_bootp_data.bp_vend, c, 4);
  }
  std::memcpy(eth0_bootp_data.bp_vend + 4, options.data(), std::min(options.size(), kBootpVendorSize - 4));
}

// Every option the addresses come from twice, with different values.
const std::vector<std::uint8_t> kRepeatedOptions = {1, 4, 255, 255, 255, 0,  1,  4, 255, 255, 0, 0,   3,  4, 10,
                                                    1, 2, 254, 3,   4,   10, 1,  2, 253, 6,   4, 8,   8,  8, 8,
                                                    6, 4, 9,   9,   9,   9,  15, 1, 'a', 15,  1, 'b', 255};

struct Case {
  const char* name;
  std::vector<std::uint8_t> options;
  bool cookie;
  Addresses expected;
};

TEST(InterfaceAddresses, OptionsAndFields) {
  const std::string longest(255, 'x');
  std::vector<std::uint8_t> long_domain = {15, 255};
  long_domain.insert(long_domain.end(), longest.begin(), longest.end());
  long_domain.push_back(255);

  // An option whose length runs past the end of the vendor area, after a valid mask.
  std::vector<std::uint8_t> runs_off(kBootpVendorSize - 4, 0);
  const std::uint8_t mask16[] = {1, 4, 255, 255, 0, 0};
  std::memcpy(runs_off.data(), mask16, sizeof mask16);
  runs_off[kBootpVendorSize - 4 - 3] = 15;
  runs_off[kBootpVendorSize - 4 - 2] = 200;
  runs_off[kBootpVendorSize - 4 - 1] = 'a';

  // A tag in the area's last byte, with no room for its length.
  std::vector<std::uint8_t> last_tag(kBootpVendorSize - 4, 0);
  last_tag.back() = 3;

  const Case cases[] = {
      {"no options: class mask, relay and server",
       {255},
       true,
       {"10.1.2.3", "255.0.0.0", "10.255.255.255", "10.0.0.1", "10.0.0.9", "local"}},
      {"router and name server options win",
       {1, 4, 255, 255, 255, 0, 3, 8, 10, 1, 2, 254, 10, 1, 2, 253, 6, 4, 8, 8, 8, 8, 255},
       true,
       {"10.1.2.3", "255.255.255.0", "10.1.2.255", "10.1.2.254", "8.8.8.8", "local"}},
      {"pads and unknown tags are skipped",
       {0, 0, 42, 3, 1, 2, 3, 0, 15, 3, 'l', 'a', 'b', 255},
       true,
       {"10.1.2.3", "255.0.0.0", "10.255.255.255", "10.0.0.1", "10.0.0.9", "lab"}},
      {"short address options are ignored",
       {1, 2, 255, 255, 3, 3, 1, 2, 3, 6, 0, 255},
       true,
       {"10.1.2.3", "255.0.0.0", "10.255.255.255", "10.0.0.1", "10.0.0.9", "local"}},
      {"nothing after the end tag counts",
       {255, 1, 4, 255, 255, 255, 0},
       true,
       {"10.1.2.3", "255.0.0.0", "10.255.255.255", "10.0.0.1", "10.0.0.9", "local"}},
      {"no cookie: options not read",
       {1, 4, 255, 255, 255, 0, 255},
       false,
       {"10.1.2.3", "255.0.0.0", "10.255.255.255", "10.0.0.1", "10.0.0.9", "local"}},
      {"domain of 255 bytes",
       long_domain,
       true,
       {"10.1.2.3", "255.0.0.0", "10.255.255.255", "10.0.0.1", "10.0.0.9", longest}},
      {"domain with a zero byte ends there",
       {15, 5, 'a', 'b', 0, 'c', 'd', 255},
       true,
       {"10.1.2.3", "255.0.0.0", "10.255.255.255", "10.0.0.1", "10.0.0.9", "ab"}},
      {"empty domain keeps local",
       {15, 0, 255},
       true,
       {"10.1.2.3", "255.0.0.0", "10.255.255.255", "10.0.0.1", "10.0.0.9", "local"}},
      {"option past the area's end is not read",
       runs_off,
       true,
       {"10.1.2.3", "255.255.0.0", "10.1.255.255", "10.0.0.1", "10.0.0.9", "local"}},
      {"tag without room for its length",
       last_tag,
       true,
       {"10.1.2.3", "255.0.0.0", "10.255.255.255", "10.0.0.1", "10.0.0.9", "local"}},
      {"a repeated option counts as it first appears",
       kRepeatedOptions,
       true,
       {"10.1.2.3", "255.255.255.0", "10.1.2.255", "10.1.2.254", "8.8.8.8", "a"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Load(c.options, c.cookie);
    const Addresses got = Get();
    EXPECT_EQ(got.address, c.expected.address);
    EXPECT_EQ(got.mask, c.expected.mask);
    EXPECT_EQ(got.broadcast, c.expected.broadcast);
    EXPECT_EQ(got.gateway, c.expected.gateway);
    EXPECT_EQ(got.server, c.expected.server);
    EXPECT_EQ(got.domain, c.expected.domain);
  }
}

// What is published for a record is what the interface was configured with from the same record.
TEST(InterfaceAddresses, PublishedAddressesAreTheOnesTheInterfaceIsGiven) {
  sim::Network link;
  link.Install();
  Load(kRepeatedOptions);
  ASSERT_TRUE(init_net(eth0_name, &eth0_bootp_data));
  const platform::net::InterfaceConfig given = link.Config();
  char mask[16], gateway[16];
  platform::net::AddressText(given.mask, mask);
  platform::net::AddressText(given.gateway, gateway);
  const Addresses got = Get();
  EXPECT_EQ(got.mask, mask);
  EXPECT_EQ(got.gateway, gateway);
  dhcp_halt();  // the interface down again for the tests that follow
}

TEST(InterfaceAddresses, StaticRecordGivesBackTheConfiguredTexts) {
  build_bootp_record(&eth0_bootp_data, eth0_name, "192.168.4.20", "255.255.252.0", "192.168.7.255", "192.168.4.1",
                     "192.168.4.2");
  const Addresses got = Get();
  EXPECT_EQ(got.address, "192.168.4.20");
  EXPECT_EQ(got.mask, "255.255.252.0");
  EXPECT_EQ(got.broadcast, "192.168.7.255");
  EXPECT_EQ(got.gateway, "192.168.4.1");
  EXPECT_EQ(got.server, "192.168.4.2");
  EXPECT_EQ(got.domain, "local");
}

}  // namespace
