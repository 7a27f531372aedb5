// The usbredir bridge's reading of the device's descriptors: what it announces to the guest comes
// from here, so a descriptor that lies about its lengths or its endpoints must be refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/usb_redir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Configuration(const std::vector<Bytes>& parts) {
  Bytes out = {9, 2, 0, 0, 1, 1, 0, 0xC0, 50};
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  out[2] = static_cast<std::uint8_t>(out.size() & 0xFF);
  out[3] = static_cast<std::uint8_t>(out.size() >> 8);
  return out;
}

Bytes Interface(std::uint8_t number, std::uint8_t alt, std::uint8_t endpoints) {
  return {9, 4, number, alt, endpoints, 0xFE, 3, 1, 0};
}
Bytes Endpoint(std::uint8_t address, std::uint8_t type, std::uint16_t maxp, std::uint8_t interval = 0) {
  return {7, 5, address, type, static_cast<std::uint8_t>(maxp & 0xFF), static_cast<std::uint8_t>(maxp >> 8), interval};
}

TEST(UsbRedirDescriptors, ReadsTheInterfaceAndEndpointsOfAlternateSettingZero) {
  const Bytes c =
      Configuration({Interface(0, 0, 3), Endpoint(0x01, 2, 64), Endpoint(0x82, 2, 64), Endpoint(0x83, 3, 2, 1),
                     Interface(0, 1, 1), Endpoint(0x04, 2, 32), Bytes{5, 0x24, 1, 2, 3}});
  sim::UsbRedirDeviceInfo info;
  std::string error;
  ASSERT_TRUE(sim::ParseUsbConfiguration(c.data(), c.size(), &info, &error)) << error;
  EXPECT_EQ(info.configuration_value, 1);
  ASSERT_EQ(info.interfaces.size(), 1u);
  EXPECT_EQ(info.interfaces[0].interface_class, 0xFE);
  EXPECT_EQ(info.interfaces[0].subclass, 3);
  EXPECT_EQ(info.interfaces[0].protocol, 1);
  ASSERT_EQ(info.endpoints.size(), 3u);  // the alternate setting's endpoint 4 is not announced
  EXPECT_EQ(info.endpoints[0].address, 0x01);
  EXPECT_EQ(info.endpoints[1].address, 0x82);
  EXPECT_EQ(info.endpoints[2].address, 0x83);
  EXPECT_EQ(info.endpoints[2].type, 3);
  EXPECT_EQ(info.endpoints[2].max_packet, 2);
  EXPECT_EQ(info.endpoints[2].interval, 1);
}

struct BadConfiguration {
  const char* name;
  Bytes bytes;
  const char* error_part;
};

class UsbRedirBadConfiguration : public ::testing::TestWithParam<BadConfiguration> {};

TEST_P(UsbRedirBadConfiguration, IsRefusedWithAReasonAndLeavesTheInfoAlone) {
  const BadConfiguration& c = GetParam();
  sim::UsbRedirDeviceInfo info;
  info.configuration_value = 77;
  info.endpoints.push_back({0x81, 2, 0, 0, 64});
  std::string error;
  EXPECT_FALSE(sim::ParseUsbConfiguration(c.bytes.data(), c.bytes.size(), &info, &error));
  EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
  EXPECT_EQ(info.configuration_value, 77);
  EXPECT_EQ(info.endpoints.size(), 1u);
}

Bytes WithTotal(Bytes b, std::uint16_t total) {
  b[2] = static_cast<std::uint8_t>(total & 0xFF);
  b[3] = static_cast<std::uint8_t>(total >> 8);
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UsbRedirBadConfiguration,
    ::testing::Values(
        BadConfiguration{"Short", Bytes{9, 2, 9, 0, 1}, "shorter than 9"},
        BadConfiguration{"NotAConfiguration", Bytes{9, 4, 9, 0, 1, 1, 0, 0xC0, 50}, "not a configuration"},
        BadConfiguration{"TotalBeyondTheBytes", WithTotal(Configuration({Interface(0, 0, 0)}), 200), "wTotalLength"},
        BadConfiguration{"ZeroLengthDescriptor", Configuration({Interface(0, 0, 1), Bytes{0, 5, 1, 2}}), "length 0"},
        BadConfiguration{"DescriptorPastTheEnd", Configuration({Interface(0, 0, 1), Bytes{40, 5, 1, 2}}), "length 40"},
        BadConfiguration{"CutHeader", WithTotal(Configuration({Interface(0, 0, 0), Bytes{7}}), 19), "cut short"},
        BadConfiguration{"EndpointZero", Configuration({Interface(0, 0, 1), Endpoint(0x80, 2, 64)}), "not valid"},
        BadConfiguration{"ReservedAddressBits", Configuration({Interface(0, 0, 1), Endpoint(0x11, 2, 64)}),
                         "not valid"},
        BadConfiguration{"EndpointTwice",
                         Configuration({Interface(0, 0, 2), Endpoint(0x81, 2, 64), Endpoint(0x81, 3, 8)}), "twice"},
        BadConfiguration{"InterfaceTwice", Configuration({Interface(0, 0, 0), Interface(0, 0, 0)}), "twice"},
        BadConfiguration{"EndpointBeforeAnyInterface", Configuration({Endpoint(0x81, 2, 64)}), "outside"},
        BadConfiguration{"ShortEndpoint", Configuration({Interface(0, 0, 1), Bytes{5, 5, 0x81, 2, 64}}),
                         "shorter than 7"},
        BadConfiguration{"ZeroPacketSize", Configuration({Interface(0, 0, 1), Endpoint(0x81, 2, 0)}),
                         "wMaxPacketSize 0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UsbRedirDescriptors, DeviceDescriptorGivesIdentityAndPacketSize) {
  const Bytes d = {18, 1, 0x00, 0x02, 0, 0, 0, 8, 0x34, 0x12, 0x78, 0x56, 0x02, 0x01, 1, 2, 3, 1};
  sim::UsbRedirDeviceInfo info;
  std::string error;
  ASSERT_TRUE(sim::ParseUsbDeviceDescriptor(d.data(), d.size(), &info, &error)) << error;
  EXPECT_EQ(info.vendor_id, 0x1234);
  EXPECT_EQ(info.product_id, 0x5678);
  EXPECT_EQ(info.device_release, 0x0102);
  EXPECT_EQ(info.max_packet0, 8);

  // The first 8 bytes tell endpoint 0's packet size only; a size USB does not allow is refused.
  sim::UsbRedirDeviceInfo first;
  ASSERT_TRUE(sim::ParseUsbDeviceDescriptor(d.data(), 8, &first, &error));
  EXPECT_EQ(first.max_packet0, 8);
  EXPECT_EQ(first.vendor_id, 0);
  Bytes odd = d;
  odd[7] = 12;
  EXPECT_FALSE(sim::ParseUsbDeviceDescriptor(odd.data(), odd.size(), &info, &error));
  EXPECT_FALSE(sim::ParseUsbDeviceDescriptor(d.data(), 7, &info, &error));
  Bytes wrong_type = d;
  wrong_type[1] = 2;
  EXPECT_FALSE(sim::ParseUsbDeviceDescriptor(wrong_type.data(), wrong_type.size(), &info, &error));
}

}  // namespace
