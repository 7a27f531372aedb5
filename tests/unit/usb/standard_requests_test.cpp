// Chapter-9 behaviour as a host sees it: enumeration, and the standard requests answered or stalled.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "usb_fixture.h"

namespace torvex_test {
namespace {

using UsbChapter9 = UsbStack;

TEST_F(UsbChapter9, HostEnumeratesTheDevice) {
  Bring();
  const sim::UsbEnumeration e = host_->Enumerate(kAddress);
  ASSERT_EQ(e.outcome, sim::UsbOutcome::kOk) << e.failed_step;
  EXPECT_EQ(model_->Address(), kAddress);

  const std::vector<std::uint8_t>& d = e.device_descriptor;
  ASSERT_EQ(d.size(), 18u);
  EXPECT_EQ(d[0], 18);
  EXPECT_EQ(d[1], 1);
  EXPECT_EQ(d[2] | (d[3] << 8), 0x0200);
  EXPECT_EQ(d[4], 0);
  EXPECT_EQ(d[7], 8);  // bMaxPacketSize0
  EXPECT_EQ(d[8] | (d[9] << 8), 0x1234);
  EXPECT_EQ(d[10] | (d[11] << 8), 0x5678);
  EXPECT_EQ(d[12] | (d[13] << 8), 0x0102);
  EXPECT_EQ(d[17], 1);

  const std::vector<std::uint8_t>& c = e.configuration;
  ASSERT_EQ(c.size(), 39u);
  EXPECT_EQ(c[1], 2);
  EXPECT_EQ(c[2] | (c[3] << 8), 39);
  EXPECT_EQ(c[4], 1);     // bNumInterfaces
  EXPECT_EQ(c[5], 1);     // bConfigurationValue
  EXPECT_EQ(c[7], 0xC0);  // self-powered, no remote wake-up
  EXPECT_EQ(c[8], 50);
  // The class interface.
  EXPECT_EQ(c[9], 9);
  EXPECT_EQ(c[10], 4);
  EXPECT_EQ(c[13], 3);  // bNumEndpoints
  EXPECT_EQ(c[14], 0xFE);
  EXPECT_EQ(c[15], 3);
  EXPECT_EQ(c[16], 1);
  // Its endpoints in endpoint-number order: bulk-IN 0x81, bulk-OUT 0x02, interrupt-IN 0x83.
  struct Ep {
    std::uint8_t address, attributes;
    std::uint16_t size;
    std::uint8_t interval;
  };
  const Ep expected[] = {{0x81, 2, 64, 0}, {0x02, 2, 64, 0}, {0x83, 3, 2, 1}};
  for (int i = 0; i < 3; ++i) {
    const std::size_t at = 18 + 7 * static_cast<std::size_t>(i);
    EXPECT_EQ(c[at], 7);
    EXPECT_EQ(c[at + 1], 5);
    EXPECT_EQ(c[at + 2], expected[i].address) << i;
    EXPECT_EQ(c[at + 3], expected[i].attributes) << i;
    EXPECT_EQ(c[at + 4] | (c[at + 5] << 8), expected[i].size) << i;
    EXPECT_EQ(c[at + 6], expected[i].interval) << i;
  }
  EXPECT_EQ(e.language_ids, (std::vector<std::uint16_t>{0x0409}));
  EXPECT_EQ(e.strings, (std::vector<std::string>{"Maker", "Tesla01", "SN0042"}));
  ASSERT_TRUE(class_.WaitFor("enabled", 1));
  EXPECT_EQ(controller_->GetConfiguration(), 1);
  EXPECT_EQ(controller_->ServiceOrderSize(), 4u);
  EXPECT_TRUE(exceptions_.Statuses().empty());
}

struct RequestCase {
  const char* what;
  sim::UsbSetup setup;
  bool stalls;
  std::optional<std::vector<std::uint8_t>> data;  // checked when given
};

void RunTable(UsbStack* test, sim::UsbHost& host, const std::vector<RequestCase>& cases) {
  for (const RequestCase& c : cases) {
    const sim::UsbTransfer t = host.Control(c.setup);
    if (c.stalls) {
      EXPECT_EQ(t.outcome, sim::UsbOutcome::kStall) << c.what;
    } else {
      EXPECT_EQ(t.outcome, sim::UsbOutcome::kOk) << c.what << ": " << sim::UsbOutcomeName(t.outcome);
      if (c.data.has_value()) {
        EXPECT_EQ(t.data, *c.data) << c.what;
      }
    }
    // Endpoint 0 answers the next request normally whatever happened.
    const sim::UsbTransfer probe = host.Control(sim::UsbSetup{0x80, 0, 0, 0, 2});
    EXPECT_EQ(probe.outcome, sim::UsbOutcome::kOk) << "after " << c.what;
  }
  (void)test;
}

TEST_F(UsbChapter9, StandardRequestsOfAConfiguredDevice) {
  BringEnumerated();
  const std::vector<RequestCase> cases = {
      {"GET_STATUS device", {0x80, 0, 0, 0, 2}, false, std::vector<std::uint8_t>{1, 0}},
      {"GET_STATUS wLength 64", {0x80, 0, 0, 0, 64}, true, {}},
      {"GET_STATUS wValue 1", {0x80, 0, 1, 0, 2}, true, {}},
      {"GET_STATUS interface 0", {0x81, 0, 0, 0, 2}, false, std::vector<std::uint8_t>{0, 0}},
      {"GET_STATUS interface 1", {0x81, 0, 0, 1, 2}, true, {}},
      {"GET_STATUS endpoint 0x81", {0x82, 0, 0, 0x81, 2}, false, std::vector<std::uint8_t>{0, 0}},
      {"GET_STATUS endpoint 0x01", {0x82, 0, 0, 0x01, 2}, true, {}},
      {"GET_STATUS endpoint 0x181", {0x82, 0, 0, 0x181, 2}, true, {}},
      {"GET_STATUS other recipient", {0x83, 0, 0, 0, 2}, true, {}},
      {"SET_FEATURE endpoint 0", {0x02, 3, 0, 0x00, 0}, true, {}},
      {"SET_FEATURE endpoint 0x80", {0x02, 3, 0, 0x80, 0}, true, {}},
      {"SET_FEATURE endpoint 0x91", {0x02, 3, 0, 0x91, 0}, true, {}},
      {"CLEAR_FEATURE endpoint 0x83", {0x02, 1, 0, 0x83, 0}, false, {}},
      {"SET_FEATURE remote wake-up", {0x00, 3, 1, 0, 0}, true, {}},
      {"SET_FEATURE test mode", {0x00, 3, 2, 0, 0}, true, {}},
      {"SET_ADDRESS 128", {0x00, 5, 128, 0, 0}, true, {}},
      {"GET_DESCRIPTOR device, 8", {0x80, 6, 0x0100, 0, 8}, false, {}},
      {"GET_DESCRIPTOR device, 0", {0x80, 6, 0x0100, 0, 0}, false, std::vector<std::uint8_t>{}},
      {"GET_DESCRIPTOR type 0x11", {0x80, 6, 0x1100, 0, 18}, true, {}},
      {"GET_DESCRIPTOR device index 0x10", {0x80, 6, 0x0110, 0, 18}, true, {}},
      {"GET_DESCRIPTOR device qualifier", {0x80, 6, 0x0600, 0, 10}, true, {}},
      {"GET_DESCRIPTOR other speed", {0x80, 6, 0x0700, 0, 9}, true, {}},
      {"GET_DESCRIPTOR configuration 1", {0x80, 6, 0x0201, 0, 9}, true, {}},
      {"GET_DESCRIPTOR configuration 0x10", {0x80, 6, 0x0210, 0, 9}, true, {}},
      {"GET_DESCRIPTOR string 0", {0x80, 6, 0x0300, 0, 255}, false, std::vector<std::uint8_t>{4, 3, 0x09, 0x04}},
      {"GET_DESCRIPTOR string 0x13", {0x80, 6, 0x0313, 0x0409, 255}, true, {}},
      {"GET_DESCRIPTOR string, other language", {0x80, 6, 0x0303, 0x0407, 255}, true, {}},
      {"GET_DESCRIPTOR to interface", {0x81, 6, 0x0100, 0, 18}, true, {}},
      {"GET_CONFIGURATION", {0x80, 8, 0, 0, 1}, false, std::vector<std::uint8_t>{1}},
      {"GET_CONFIGURATION wLength 2", {0x80, 8, 0, 0, 2}, true, {}},
      {"GET_INTERFACE 0", {0x81, 10, 0, 0, 1}, false, std::vector<std::uint8_t>{0}},
      {"GET_INTERFACE 1", {0x81, 10, 0, 1, 1}, true, {}},
      {"GET_INTERFACE 0x100", {0x81, 10, 0, 0x100, 1}, true, {}},
      {"SET_INTERFACE 0, 0", {0x01, 11, 0, 0, 0}, false, {}},
      {"SET_INTERFACE 0, 1", {0x01, 11, 1, 0, 0}, true, {}},
      {"SET_INTERFACE 0, 0x100", {0x01, 11, 0x100, 0, 0}, true, {}},
      {"SET_INTERFACE 0x10, 0", {0x01, 11, 0, 0x10, 0}, true, {}},
      {"SET_CONFIGURATION 2", {0x00, 9, 2, 0, 0}, true, {}},
      {"SET_CONFIGURATION 0x101", {0x00, 9, 0x101, 0, 0}, true, {}},
      {"SET_CONFIGURATION 0x11", {0x00, 9, 0x11, 0, 0}, true, {}},
      {"SET_DESCRIPTOR", {0x00, 7, 0x0100, 0, 0}, true, {}},
      {"reserved request 2", {0x80, 2, 0, 0, 2}, true, {}},
      {"SYNCH_FRAME", {0x82, 12, 0, 0x81, 2}, true, {}},
      {"request 13", {0x80, 13, 0, 0, 1}, true, {}},
      {"request 255", {0x80, 255, 0, 0, 1}, true, {}},
      {"vendor request", {0xC0, 1, 0, 0, 4}, true, {}},
      {"class request to the device", {0xA0, 1, 0, 0, 4}, true, {}},
      {"class request to interface 0x10", {0x21, CTestClass::kRequestNoData, 0, 0x10, 0}, true, {}},
      {"class request to interface 0", {0x21, CTestClass::kRequestNoData, 0, 0, 0}, false, {}},
      {"class request to endpoint 0x81", {0x22, CTestClass::kRequestNoData, 0, 0x81, 0}, false, {}},
      {"class request to endpoint 0x84", {0x22, CTestClass::kRequestNoData, 0, 0x84, 0}, true, {}},
      {"class request refused by the class", {0x21, 99, 0, 0, 0}, true, {}},
      {"class request with data",
       {0xA1, CTestClass::kRequestWithData, 0, 0, 4},
       false,
       std::vector<std::uint8_t>{0xA0, 0xA1, 0xA2, 0xA3}},
  };
  RunTable(this, *host_, cases);
  // Still configured, nothing reported as a device failure.
  EXPECT_EQ(Request(0x80, 8, 0, 0, 1).data, (std::vector<std::uint8_t>{1}));
  EXPECT_TRUE(exceptions_.Statuses().empty());
  EXPECT_TRUE(model_->Attached());
}

TEST_F(UsbChapter9, InterfaceRequestsOfAnUnconfiguredDeviceStall) {
  Bring();
  host_->Reset();
  ASSERT_EQ(Request(0x00, 5, kAddress, 0, 0).outcome, sim::UsbOutcome::kOk);
  const std::vector<RequestCase> cases = {
      {"GET_CONFIGURATION", {0x80, 8, 0, 0, 1}, false, std::vector<std::uint8_t>{0}},
      {"GET_INTERFACE 0", {0x81, 10, 0, 0, 1}, true, {}},
      {"SET_INTERFACE 0, 0", {0x01, 11, 0, 0, 0}, true, {}},
      {"SET_INTERFACE 0, 0 again", {0x01, 11, 0, 0, 0}, true, {}},
      {"class request before configuration", {0x21, CTestClass::kRequestNoData, 0, 0, 0}, true, {}},
      {"SET_CONFIGURATION 0", {0x00, 9, 0, 0, 0}, false, {}},
      {"GET_STATUS endpoint 0x81", {0x82, 0, 0, 0x81, 2}, true, {}},
      {"GET_STATUS endpoint 0", {0x82, 0, 0, 0, 2}, false, std::vector<std::uint8_t>{0, 0}},
  };
  RunTable(this, *host_, cases);
  EXPECT_EQ(controller_->ServiceOrderSize(), 1u);
  EXPECT_EQ(class_.Count("enabled"), 0u);
  EXPECT_TRUE(exceptions_.Statuses().empty());
}

TEST_F(UsbChapter9, SetConfigurationZeroDisablesTheInterface) {
  BringEnumerated();
  ASSERT_EQ(Request(0x00, 9, 0, 0, 0).outcome, sim::UsbOutcome::kOk);
  ASSERT_TRUE(class_.WaitFor("disabled", 1));
  EXPECT_EQ(controller_->ServiceOrderSize(), 1u);
  EXPECT_EQ(Request(0x21, CTestClass::kRequestNoData, 0, 0, 0).outcome, sim::UsbOutcome::kStall);
  ASSERT_EQ(Request(0x00, 9, 1, 0, 0).outcome, sim::UsbOutcome::kOk);
  EXPECT_TRUE(class_.WaitFor("enabled", 2));
  EXPECT_EQ(controller_->ServiceOrderSize(), 4u);
}

TEST_F(UsbChapter9, EnablingTwiceBuildsTheSameDescriptorsAndDepth) {
  Bring();
  ASSERT_EQ(host_->Enumerate(kAddress).outcome, sim::UsbOutcome::kOk);
  const std::size_t strings = manager_->descriptors()->strings()->Count();
  std::uint32_t s = 0;
  manager_->Disconnect(&s);
  manager_->RemoveInterface(io_, &s);
  ASSERT_EQ(s, 0u);
  io_ = nullptr;
  EXPECT_EQ(manager_->SuspensionDepth(), 0u);
  Bring();
  EXPECT_EQ(manager_->SuspensionDepth(), 0u);
  EXPECT_EQ(manager_->descriptors()->strings()->Count(), strings);
  const sim::UsbEnumeration e = host_->Enumerate(kAddress);
  ASSERT_EQ(e.outcome, sim::UsbOutcome::kOk) << e.failed_step;
  EXPECT_EQ(e.configuration.size(), 39u);
  EXPECT_EQ(e.device_descriptor.at(17), 1);
  EXPECT_EQ(e.strings, (std::vector<std::string>{"Maker", "Tesla01", "SN0042"}));
  EXPECT_TRUE(class_.WaitFor("enabled", 1));
}

}  // namespace
}  // namespace torvex_test
