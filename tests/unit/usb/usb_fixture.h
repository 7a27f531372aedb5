// The USB device stack on the simulated device controller, with the simulated host on the cable and
// a small interface class that records what the stack tells it (events arrive on the
// "USB Interrupt Handler" thread; tests read them from their own thread).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/CDataBuffer.h"
#include "engine/COSUsbDeviceManager.h"
#include "platform/hw_registers.h"
#include "platform/interrupt.h"
#include "platform/regbus.h"
#include "sim/gpio.h"
#include "sim/usb_device.h"
#include "support/usb_device_stack.h"
#include "support/usb_test_device.h"
#include "support/wait_for.h"
#include "usb/controller/CS3C2410Controller.h"
#include "usb/device/CUsbDeviceManager.h"

namespace torvex_test {

class CRecordingExceptions : public CUsbExceptionEventObserver {
 public:
  void OnUsbException(COSUsbDevice*, std::uint32_t status) override {
    std::lock_guard<std::mutex> g(lock_);
    statuses_.push_back(status);
  }
  std::vector<std::uint32_t> Statuses() {
    std::lock_guard<std::mutex> g(lock_);
    return statuses_;
  }

 private:
  std::mutex lock_;
  std::vector<std::uint32_t> statuses_;
};

struct ClassEvent {
  std::string what;  // "setup", "read", "write", "enabled", "disabled", "suspend"
  std::int32_t kind = 0;
  std::uint32_t result = 0;
  std::uint32_t count = 0;
  std::uint8_t request = 0;
};

// A minimal interface class: answers class request 7 with a reply of up to 24 bytes, request 1
// without data stage, and stalls every other; records every event; can chain a bulk-IN write to the
// completion of the previous one, as a class that streams a response does.
class CTestClass : public CUsbInterfaceClassEventObserver {
 public:
  static constexpr std::uint8_t kRequestWithData = 7;
  static constexpr std::uint8_t kRequestNoData = 1;

  CTestClass() : reply_(64), chained_(128) {
    for (int i = 0; i < 24; ++i) reply_.Data()[i] = static_cast<std::uint8_t>(0xA0 + i);
  }

  void Attach(CUsbInterfaceClassIoManager* io) {
    io_ = io;
    std::uint32_t s = 0;
    io->AttachClass(this, &s);
  }

  void OnSetup(const UsbSetupPacket& setup, std::uint32_t* status) override {
    Record(ClassEvent{"setup", 0, 0, 0, setup.bRequest});
    if (setup.bRequest == kRequestWithData && (setup.bmRequestType & 0x80) != 0) {
      reply_.SetWindow(0, std::min<std::uint32_t>(24, setup.wLength));
      reply_.next = nullptr;
      io_->StartWrite(kUsbKindControl, &reply_, status);
    } else if (setup.bRequest == kRequestNoData && setup.wLength == 0) {
      io_->AcknowledgeStatus(status);
    } else {
      io_->Halt(kUsbKindControl, status);
    }
  }
  void OnReadComplete(std::int32_t kind, std::uint32_t result, std::uint32_t count, std::uint32_t*) override {
    Record(ClassEvent{"read", kind, result, count, 0});
  }
  void OnWriteComplete(std::int32_t kind, std::uint32_t result, std::uint32_t count, std::uint32_t* status) override {
    Record(ClassEvent{"write", kind, result, count, 0});
    std::size_t chain_length = 0;
    {
      std::lock_guard<std::mutex> g(lock_);
      chain_length = chain_next_;
      chain_next_ = 0;
    }
    if (kind == kUsbKindBulkIn && chain_length != 0) {
      for (std::size_t i = 0; i < chain_length; ++i) chained_.Data()[i] = static_cast<std::uint8_t>(0x30 + i);
      chained_.SetWindow(0, static_cast<std::uint32_t>(chain_length));
      chained_.next = nullptr;
      io_->StartWrite(kUsbKindBulkIn, &chained_, status);
    }
  }
  void OnInterfaceEnabled(std::uint32_t*) override { Record(ClassEvent{"enabled"}); }
  void OnInterfaceDisabled(std::uint32_t*) override { Record(ClassEvent{"disabled"}); }
  void OnSuspend(std::uint32_t*) override { Record(ClassEvent{"suspend"}); }

  // The next bulk-IN completion starts a write of `length` bytes from its handler.
  void ChainBulkIn(std::size_t length) {
    std::lock_guard<std::mutex> g(lock_);
    chain_next_ = length;
  }

  std::vector<ClassEvent> Events() {
    std::lock_guard<std::mutex> g(lock_);
    return events_;
  }
  std::size_t Count(const std::string& what) {
    std::lock_guard<std::mutex> g(lock_);
    std::size_t n = 0;
    for (const ClassEvent& e : events_) n += e.what == what ? 1 : 0;
    return n;
  }
  bool WaitFor(const std::string& what, std::size_t n) {
    return torvex_test::WaitFor([&] { return Count(what) >= n; });
  }
  // The last event of a kind, or an empty one.
  ClassEvent Last(const std::string& what) {
    std::lock_guard<std::mutex> g(lock_);
    for (auto it = events_.rbegin(); it != events_.rend(); ++it)
      if (it->what == what) return *it;
    return ClassEvent{};
  }
  void Clear() {
    std::lock_guard<std::mutex> g(lock_);
    events_.clear();
  }

 private:
  void Record(const ClassEvent& e) {
    std::lock_guard<std::mutex> g(lock_);
    events_.push_back(e);
  }

  CUsbInterfaceClassIoManager* io_ = nullptr;
  CDataBuffer reply_;
  CDataBuffer chained_;
  std::mutex lock_;
  std::vector<ClassEvent> events_;
  std::size_t chain_next_ = 0;
};

inline UsbDeviceSettings TestSettings() {
  UsbDeviceSettings s;
  s.vendor_id = 0x1234;
  s.product_id = 0x5678;
  s.device_release = 0x0102;
  s.configuration_value = 1;
  s.max_power = 50;
  s.interface_number = 0;
  s.self_powered = 1;
  s.manufacturer = "Maker";
  s.product = "Tesla01";  // 7 characters: a 16-byte string descriptor
  s.serial_number = "SN0042";
  s.configuration_string = "";
  return s;
}

inline UsbInterfaceDescription TestDescription() {
  UsbInterfaceDescription d = TestTmcDescription();
  d.interface_string = "Test Interface";
  d.interval_high[kUsbKindInterruptIn] = 4;
  return d;
}

class UsbStack : public ::testing::Test {
 protected:
  static constexpr std::uint8_t kAddress = 5;

  void SetUp() override {
    platform::interrupts::ResetController();
    ASSERT_EQ(side_.Build(&exceptions_), 0u);
  }

  void TearDown() override {
    side_.TearDown();
    platform::interrupts::ResetController();
  }

  // Interface configured, class attached, device connected, events flowing.
  void Bring(const UsbDeviceSettings& settings = TestSettings()) {
    std::uint32_t s = 0;
    io_ = manager_->Configure(settings, TestDescription(), &s);
    ASSERT_EQ(s, 0u);
    ASSERT_NE(io_, nullptr);
    class_.Attach(io_);
    manager_->Connect(settings, &s);
    ASSERT_EQ(s, 0u);
    manager_->ResumeEvents(&s);
    ASSERT_EQ(s, 0u);
  }

  // Brought up and enumerated by the host (configured).
  void BringEnumerated() {
    Bring();
    const sim::UsbEnumeration e = host_->Enumerate(kAddress);
    ASSERT_EQ(e.outcome, sim::UsbOutcome::kOk) << e.failed_step << ": " << sim::UsbOutcomeName(e.outcome);
    ASSERT_TRUE(class_.WaitFor("enabled", 1));
  }

  // An engine-side operation: events suspended around it, as the engine does.
  template <typename Op>
  std::uint32_t WithEventsSuspended(Op op) {
    std::uint32_t s = 0;
    manager_->SuspendEvents(&s);
    op(&s);
    std::uint32_t r = 0;
    manager_->ResumeEvents(&r);
    return s != 0 ? s : r;
  }

  std::uint32_t StartBulkIn(CDataBuffer* buffer) {
    return WithEventsSuspended([&](std::uint32_t* s) { io_->StartWrite(kUsbKindBulkIn, buffer, s); });
  }
  std::uint32_t StartBulkOut(CDataBuffer* buffer) {
    return WithEventsSuspended([&](std::uint32_t* s) { io_->StartRead(kUsbKindBulkOut, buffer, s); });
  }

  sim::UsbTransfer Request(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                           std::uint16_t length) {
    return host_->Control(sim::UsbSetup{type, request, value, index, length});
  }

  // A transfer buffer that outlives the device (a test that stops early leaves transfers armed).
  CDataBuffer& Buffer(std::int32_t size) {
    buffers_.push_back(std::make_unique<CDataBuffer>(size));
    return *buffers_.back();
  }

  std::vector<std::unique_ptr<CDataBuffer>> buffers_;
  CRecordingExceptions exceptions_;
  UsbDeviceSide side_;
  // The parts of the stack under the names the tests use.
  sim::Gpio& gpio_ = side_.gpio;
  std::unique_ptr<sim::UsbDeviceController>& model_ = side_.model;
  std::unique_ptr<sim::UsbHost>& host_ = side_.host;
  CUsbTestDeviceMaker& maker_ = side_.maker;
  COSUsbDevice*& device_ = side_.device;
  std::unique_ptr<CS3C2410Controller>& controller_ = side_.controller;
  std::unique_ptr<CUsbDeviceManager>& manager_ = side_.manager;
  CUsbInterfaceClassIoManager*& io_ = side_.io;
  CTestClass class_;
};

}  // namespace torvex_test
