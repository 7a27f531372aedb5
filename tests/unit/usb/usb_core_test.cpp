// Pieces of the stack on their own: descriptors, the controller's service order, the device manager's
// configuration step and its events suspension.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "usb/device/CUsbDescriptorSet.h"
#include "usb_fixture.h"

namespace torvex_test {
namespace {

std::vector<std::uint8_t> Bytes(const CDataBuffer& b, std::uint32_t n) {
  return std::vector<std::uint8_t>(b.Data(), b.Data() + n);
}

TEST(UsbDescriptors, StringOfTwentyThreeCharactersIsFortyEightBytes) {
  std::uint32_t s = 0;
  CUsbDescriptorSet set(&s);
  ASSERT_EQ(s, 0u);
  const std::uint8_t index = set.strings()->AddString(0x0409, "USBTMC-USB488 Interface", &s);
  ASSERT_EQ(s, 0u);
  CDataBuffer b(255);
  b.SetWindow(0, 255);
  std::uint32_t n = 0;
  set.WriteString(index, 0x0409, &b, &n, &s);
  ASSERT_EQ(s, 0u);
  EXPECT_EQ(n, 48u);
  EXPECT_EQ(b.Data()[0], 48);
  EXPECT_EQ(b.Data()[1], 3);
  EXPECT_EQ(b.Data()[2], 'U');
  EXPECT_EQ(b.Data()[3], 0);
  set.WriteString(0, 0x1234, &b, &n, &s);
  EXPECT_EQ(Bytes(b, n), (std::vector<std::uint8_t>{4, 3, 0x09, 0x04}));
}

TEST(UsbDescriptors, EmptyStringGetsIndexZeroAndIndexesAreReused) {
  std::uint32_t s = 0;
  CUsbDescriptorSet set(&s);
  EXPECT_EQ(set.strings()->AddString(0x0409, "", &s), 0);
  EXPECT_EQ(set.strings()->AddString(0x0409, nullptr, &s), 0);
  EXPECT_EQ(set.strings()->Count(), 0u);
  set.SetVendor(1, "A", &s);
  set.SetProductAndVersion(2, 3, "B", "C", &s);
  ASSERT_EQ(s, 0u);
  EXPECT_EQ(set.strings()->Count(), 3u);
  // Setting the device strings again replaces them.
  set.SetVendor(1, "A2", &s);
  set.SetProductAndVersion(2, 3, "B2", "", &s);
  ASSERT_EQ(s, 0u);
  EXPECT_EQ(set.strings()->Count(), 2u);
  EXPECT_EQ(set.Device(kUsbSpeedFull)->Byte(16), 0);  // no serial number string
  EXPECT_LE(set.Device(kUsbSpeedFull)->Byte(14), 2);
}

TEST(UsbDescriptors, ConfigurationIndexBeyondTheListFailsAndWritesNothing) {
  std::uint32_t s = 0;
  CUsbDescriptorSet set(&s);
  set.AddConfiguration(kUsbSpeedFull, 1, true, false, 50, "", &s);
  ASSERT_EQ(s, 0u);
  CDataBuffer b(64);
  b.SetWindow(0, 64);
  std::uint32_t n = 7;
  set.WriteConfiguration(kUsbSpeedFull, 1, &b, &n, &s);
  EXPECT_EQ(s, kUsbStatusDescriptorNotFound);
  EXPECT_EQ(n, 0u);
}

struct DeviceStatusCase {
  bool self_powered;
  bool remote_wakeup;
  std::uint8_t expected;
};

TEST(UsbDescriptors, DeviceStatusReportsRemoteWakeupOnlyWhenEnabled) {
  const DeviceStatusCase cases[] = {{true, false, 1}, {false, false, 0}, {true, true, 1}, {false, true, 0}};
  for (const DeviceStatusCase& c : cases) {
    std::uint32_t s = 0;
    CUsbDescriptorSet set(&s);
    set.AddConfiguration(kUsbSpeedFull, 1, c.self_powered, c.remote_wakeup, 10, "", &s);
    ASSERT_EQ(s, 0u);
    EXPECT_EQ(set.GetDeviceStatus(kUsbSpeedFull, 1), c.expected) << c.self_powered << c.remote_wakeup;
  }
}

TEST(UsbDescriptors, InterfaceNumberingWithGapsIsRefused) {
  std::uint32_t s = 0;
  CUsbDescriptorSet set(&s);
  set.AddConfiguration(kUsbSpeedFull, 1, true, false, 50, "", &s);
  set.AddInterface(kUsbSpeedFull, 1, 0, 0, 0xFE, 3, 1, "", &s);
  set.ValidateConfigurations(&s);
  EXPECT_EQ(s, 0u);
  set.AddInterface(kUsbSpeedFull, 1, 2, 0, 0xFE, 3, 1, "", &s);
  set.ValidateConfigurations(&s);
  EXPECT_EQ(s, kUsbStatusDescriptorNotFound);
  s = 0;
  set.RemoveInterface(1, 2, 0);
  set.ValidateConfigurations(&s);
  EXPECT_EQ(s, 0u);
}

using UsbCore = UsbStack;

struct PowerCase {
  std::uint8_t self_powered;
  std::uint8_t max_power;
  std::uint32_t status;
};

TEST_F(UsbCore, ConfigureChecksThePowerValues) {
  const PowerCase cases[] = {{1, 51, kStatusSettingsInvalid}, {0, 0, kStatusSettingsInvalid}, {1, 50, 0}, {0, 250, 0}};
  for (const PowerCase& c : cases) {
    UsbDeviceSettings settings = TestSettings();
    settings.self_powered = c.self_powered;
    settings.max_power = c.max_power;
    std::uint32_t s = 0;
    CUsbInterfaceClassIoManager* io = manager_->Configure(settings, TestDescription(), &s);
    EXPECT_EQ(s, c.status) << int(c.self_powered) << " " << int(c.max_power);
    EXPECT_EQ(io == nullptr, c.status != 0);
    if (io != nullptr) {
      manager_->RemoveInterface(io, &s);
      EXPECT_EQ(s, 0u);
    }
    // Nothing of a refused or removed interface is left behind.
    EXPECT_FALSE(manager_->descriptors()->HasConfiguration(1));
    EXPECT_EQ(manager_->descriptors()->strings()->Count(), 0u);
  }
}

TEST_F(UsbCore, ServiceOrderIsBulkOutBulkInInterruptInControlAndNeverHoldsAnEndpointTwice) {
  std::uint32_t s = 0;
  io_ = manager_->Configure(TestSettings(), TestDescription(), &s);
  ASSERT_EQ(s, 0u);
  manager_->Connect(TestSettings(), &s);
  ASSERT_EQ(s, 0u);
  // As the host's requests would, with the service held back.
  controller_->SuspendInterruptService();
  for (int i = 0; i < 3; ++i) {
    controller_->SetConfiguration(1, &s);
    ASSERT_EQ(s, 0u);
    controller_->SetInterface(1, 0, 0, &s);
    ASSERT_EQ(s, 0u);
  }
  ASSERT_EQ(controller_->ServiceOrderSize(), 4u);
  std::vector<std::int32_t> kinds;
  for (std::uint32_t i = 0; i < controller_->ServiceOrderSize(); ++i)
    kinds.push_back(controller_->ServiceOrderAt(i)->kind());
  EXPECT_EQ(kinds, (std::vector<std::int32_t>{kUsbKindBulkOut, kUsbKindBulkIn, kUsbKindInterruptIn, kUsbKindControl}));
  controller_->SetConfiguration(0, &s);
  controller_->SetInterface(0, 0, 0, &s);
  EXPECT_EQ(controller_->ServiceOrderSize(), 1u);
  EXPECT_EQ(controller_->GetAlternateSetting(1), 0xFF);
  std::uint32_t r = 0;
  controller_->ResumeInterruptService(&r);
}

TEST_F(UsbCore, AddEndpointOfControlKindIsRefused) {
  std::uint32_t s = 0;
  EXPECT_EQ(controller_->AddEndpoint(1, 0, 0, kUsbKindControl, nullptr, &s), nullptr);
  EXPECT_EQ(s, kStatusNotReported);
}

TEST_F(UsbCore, SetInterfaceWithoutAnInterfaceIsARequestErrorNotADeviceFailure) {
  std::uint32_t s = 0;
  manager_->OnSetInterface(1, 0, 7, &s);
  EXPECT_EQ(s, kUsbStatusBadRequest);
}

TEST_F(UsbCore, EventsStaySuspendedUntilTheLastResume) {
  Bring();
  std::uint32_t s = 0;
  manager_->SuspendEvents(&s);
  manager_->SuspendEvents(&s);
  EXPECT_FALSE(controller_->InterruptsEnabled());
  manager_->ResumeEvents(&s);
  EXPECT_FALSE(controller_->InterruptsEnabled());
  manager_->ResumeEvents(&s);
  EXPECT_TRUE(controller_->InterruptsEnabled());
  manager_->ResumeEvents(&s);  // one too many: the depth stays 0
  EXPECT_EQ(s, 0u);
  EXPECT_EQ(manager_->SuspensionDepth(), 0u);
  EXPECT_TRUE(controller_->InterruptsEnabled());
}

TEST_F(UsbCore, ConnectAndConfigureRefuseWhileConnected) {
  Bring();
  std::uint32_t s = 0;
  manager_->Connect(TestSettings(), &s);
  EXPECT_EQ(s, kStatusInterfaceAlreadyBound);
  s = 0;
  EXPECT_EQ(manager_->Configure(TestSettings(), TestDescription(), &s), nullptr);
  EXPECT_EQ(s, kStatusInterfaceAlreadyBound);
}

}  // namespace
}  // namespace torvex_test
