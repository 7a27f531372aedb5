// The USB plug-in's interface manager: what it refuses, when it builds and tears down the device
// stack, and how removal, shut-down and controller failures reach the interfaces.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "engine/DoVovuriStatus.h"
#include "usb/device/CUsbDeviceManager.h"
#include "usb/device/CUsbPhysicalInterface.h"
#include "usb/CUsbPhysicalInterfaceManager.h"
#include "usbtmc_fixture.h"

namespace torvex_test {
namespace {

DoVovuriDeviceDescriptor UsbDescriptor(std::uint32_t plugin_id = kPluginIdUsb,
                                       std::uint32_t version = kDeviceInterfaceVersion) {
  DoVovuriDeviceDescriptor d{};
  d.size = kDeviceDescriptorSize;
  d.interface_version = version;
  d.transport = 0;
  d.plugin_id = plugin_id;
  return d;
}

class UsbPluginManager : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::interrupts::ResetController();
    platform::regbus::Map(sim::Gpio::kBase, sim::Gpio::kSize, &gpio_);
    gpio_.Preset(hw::line::kUsbPullup, hw::gpio::kFunctionOutput, false);
    model_ = std::make_unique<sim::UsbDeviceController>(gpio_);
    std::uint32_t s = 0;
    manager_ = std::make_unique<CUsbPhysicalInterfaceManager>(&s);
    ASSERT_EQ(s, 0u);
  }
  void TearDown() override {
    manager_.reset();
    model_.reset();
    platform::regbus::Unmap(&gpio_);
    platform::interrupts::ResetController();
  }

  sim::Gpio gpio_;
  std::unique_ptr<sim::UsbDeviceController> model_;
  std::unique_ptr<CUsbPhysicalInterfaceManager> manager_;
};

struct Refusal {
  const char* what;
  DoVovuriDeviceDescriptor descriptor;
  std::uint32_t context;
  std::uint32_t status;
};

TEST_F(UsbPluginManager, RefusesForeignDescriptorsAndLeavesTheTableAsItWas) {
  const Refusal cases[] = {
      {"plug-in id 1", UsbDescriptor(kPluginIdVxi11), 0, 0x543FF},
      {"device index 1", UsbDescriptor(), 1, 0x54300},
      {"interface version 0x01050000", UsbDescriptor(kPluginIdUsb, 0x01050000), 0, 0x54364},
      {"interface version 0x01030000", UsbDescriptor(kPluginIdUsb, 0x01030000), 0, 0x54364},
  };
  for (const Refusal& c : cases) {
    std::uint32_t s = 0;
    EXPECT_EQ(manager_->CreateInterface(&c.descriptor, c.context, &s), nullptr) << c.what;
    EXPECT_EQ(s, c.status) << c.what;
    EXPECT_EQ(manager_->DeviceManager(), nullptr) << c.what;
    EXPECT_EQ(manager_->InterfaceCount(), 0u) << c.what;
  }
  std::uint32_t s = 0;
  EXPECT_EQ(manager_->CreateInterface(nullptr, 0, &s), nullptr);
  EXPECT_EQ(s, 0x543FFu);
}

TEST_F(UsbPluginManager, TwoInterfacesShareOneStackThatGoesWithTheLast) {
  const DoVovuriDeviceDescriptor d = UsbDescriptor(kPluginIdUsb, 0x0104ABCD);
  std::uint32_t s = 0;
  CPhysicalInterface* first = manager_->CreateInterface(&d, 0, &s);
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(s, 0u);
  CUsbDeviceManager* stack = manager_->DeviceManager();
  ASSERT_NE(stack, nullptr);
  EXPECT_EQ(first->OsDevice(), stack->GetController()->GetOsDevice());
  EXPECT_FALSE(first->IsConstructed());
  EXPECT_FALSE(first->IsEnabled());
  EXPECT_EQ(first->GetInputBufferSize(), 4096u);
  EXPECT_EQ(first->GetOutputBufferSize(), 4096u);
  CPhysicalInterface* second = manager_->CreateInterface(&d, 0, &s);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(manager_->DeviceManager(), stack);
  EXPECT_EQ(manager_->InterfaceCount(), 2u);
  manager_->DestroyInterface(first, &s);
  EXPECT_EQ(s, 0u);
  EXPECT_EQ(manager_->DeviceManager(), stack);
  EXPECT_EQ(manager_->InterfaceCount(), 1u);
  // Destroying it again is refused and deletes nothing.
  manager_->DestroyInterface(first, &s);
  EXPECT_EQ(s, 0x543FFu);
  manager_->DestroyInterface(second, &s);
  EXPECT_EQ(s, 0u);
  EXPECT_EQ(manager_->DeviceManager(), nullptr);
  // A new interface builds a new stack.
  CPhysicalInterface* third = manager_->CreateInterface(&d, 0, &s);
  ASSERT_NE(third, nullptr);
  EXPECT_NE(manager_->DeviceManager(), nullptr);
  // The manager's destructor takes the last one with it.
}

TEST_F(UsbPluginManager, ControllerFailuresWalkTheInterfacesWhileOthersComeAndGo) {
  // One interface keeps the stack; a second one is made and destroyed over and over while failures
  // are reported: the walk and the table changes never overlap.
  const DoVovuriDeviceDescriptor d = UsbDescriptor();
  std::uint32_t s = 0;
  CPhysicalInterface* keeper = manager_->CreateInterface(&d, 0, &s);
  ASSERT_NE(keeper, nullptr);
  COSUsbDevice* device = keeper->OsDevice();
  std::atomic<bool> done{false};
  std::thread reporter([&] {
    while (!done.load()) manager_->OnUsbException(device, 0x54312);
  });
  for (int i = 0; i < 200; ++i) {
    std::uint32_t st = 0;
    CPhysicalInterface* p = manager_->CreateInterface(&d, 0, &st);
    ASSERT_NE(p, nullptr);
    manager_->DestroyInterface(p, &st);
    ASSERT_EQ(st, 0u);
  }
  done.store(true);
  reporter.join();
  EXPECT_EQ(manager_->InterfaceCount(), 1u);
  manager_->DestroyInterface(keeper, &s);
  EXPECT_EQ(manager_->DeviceManager(), nullptr);
}

// Through the engine: removal, shut-down and controller failures as the application's device sees
// them.
class UsbPluginExceptions : public UsbTmcTest {};

TEST_F(UsbPluginExceptions, AControllerFailureDisablesTheInterfaceWhateverItsCode) {
  const std::uint32_t failures[] = {0x54303, 0x54312};
  for (const std::uint32_t failure : failures) {
    Bring();
    CUsbPhysicalInterfaceManager* manager = UsbInterfaceManager();
    ASSERT_NE(manager, nullptr);
    CUsbPhysicalInterface* pi = manager->InterfaceAt(0);
    ASSERT_NE(pi, nullptr);
    ASSERT_TRUE(pi->IsEnabled());
    // As the controller's service pass reports it: with no other pass running.
    std::uint32_t s = 0;
    pi->SuspendEvents(&s);
    manager->OnUsbException(pi->OsDevice(), failure);
    pi->ResumeEvents(&s);
    EXPECT_FALSE(pi->IsEnabled()) << std::hex << failure;
    EXPECT_TRUE(WaitFor([&] { return !model_->Attached(); })) << std::hex << failure;
    // A failure of another device is not this row's.
    manager->OnUsbException(nullptr, failure);
    EXPECT_EQ(manager->InterfaceCount(), 1u);
    app_.reset();
    EXPECT_EQ(manager->InterfaceCount(), 0u);
  }
}

TEST_F(UsbPluginExceptions, RemovingTheDeviceTakesItsInterfacesAndStackAway) {
  Bring();
  CUsbPhysicalInterfaceManager* manager = UsbInterfaceManager();
  ASSERT_NE(manager, nullptr);
  CUsbPhysicalInterface* pi = manager->InterfaceAt(0);
  ASSERT_NE(pi, nullptr);
  manager->RemoveDevice(pi->OsDevice());
  EXPECT_EQ(manager->InterfaceCount(), 0u);
  EXPECT_EQ(manager->DeviceManager(), nullptr);
  EXPECT_FALSE(model_->Attached());
  // The application's device no longer reaches a transport, and goes without trouble.
  EXPECT_NE(app_->QueryDetected(), 0u);
  app_.reset();
}

TEST_F(UsbPluginExceptions, StoppingThePluginTellsTheInterfacesFirst) {
  Bring();
  ASSERT_EQ(Query("*IDN?\n", 1), "TORVEX,TEST,0,1.0\n");
  DoVovuriStopUsbPlugin();
  EXPECT_EQ(UsbInterfaceManager(), nullptr);
  EXPECT_FALSE(model_->Attached());
  EXPECT_NE(app_->QueryDetected(), 0u);
  app_.reset();
}

TEST_F(UsbPluginExceptions, ADeviceDisabledAndEnabledAgainIsConfiguredAfresh) {
  Bring();
  ASSERT_EQ(Query("*IDN?\n", 1), "TORVEX,TEST,0,1.0\n");
  ASSERT_EQ(app_->Disable(), 0u);
  EXPECT_TRUE(WaitFor([&] { return !model_->Attached(); }));
  ASSERT_EQ(app_->Start(), 0u);
  ASSERT_TRUE(host_->WaitAttached(kTmcFrames));
  const sim::UsbEnumeration e = host_->Enumerate(kAddress);
  ASSERT_EQ(e.outcome, sim::UsbOutcome::kOk) << e.failed_step;
  EXPECT_EQ(Query("*IDN?\n", 3), "TORVEX,TEST,0,1.0\n");
}

}  // namespace
}  // namespace torvex_test
