// The USB plug-in under the engine, on the simulated device controller, with the simulated host on
// the cable talking USBTMC to it: raw bulk headers, class requests on endpoint 0, interrupt-IN reads.
// The application side is a small USB device object that records what the engine hands it and
// answers queries.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/C4882Device.h"
#include "engine/DoVovuriEngine.h"
#include "platform/hw_registers.h"
#include "platform/interrupt.h"
#include "platform/regbus.h"
#include "sim/gpio.h"
#include "sim/usb_device.h"
#include "support/wait_for.h"
#include "usb/CUsbPhysicalInterfaceManager.h"
#include "usb/UsbPlugin.h"

namespace torvex_test {

constexpr std::uint32_t kTmcFrames = 2000;
constexpr unsigned kBulkOutEp = 2;
constexpr unsigned kBulkInEp = 1;
constexpr unsigned kInterruptEp = 3;
constexpr std::uint16_t kBulkOutAddress = 0x02;
constexpr std::uint16_t kBulkInAddress = 0x81;
constexpr std::uint8_t kToInterface = 0xA1;  // device-to-host, class, interface
constexpr std::uint8_t kToEndpoint = 0xA2;   // device-to-host, class, endpoint

// The application's USB device: records inputs, clears, triggers, remote/local changes and status
// byte requests; answers every input that ends with '?' with `reply` and posts its buffer again.
class UsbTmcApp : public CUsbDevice {
 public:
  UsbTmcApp() {
    MessageBufferDescriptor::Init(&input, 16384, nullptr);
    MessageBufferDescriptor::Init(&response, 16384, nullptr);
  }
  ~UsbTmcApp() override {
    Disable();
    MessageBufferDescriptor::Release(&input);
    MessageBufferDescriptor::Release(&response);
  }

  std::uint32_t Start() {
    const std::uint32_t s = Enable(0x1234, 0x5678, 0x0100, "Maker", "Tesla01", "SN0042", nullptr, nullptr, 50, 1, 0, 1);
    if (s != 0) return s;
    return PostInputBuffer(&input);
  }

  void OnInputComplete(std::int32_t reason, MessageBufferDescriptor* descriptor) override {
    if (reason == kInputReasonUnterminated) {
      // A read with nothing to answer: acknowledged, as the host objects do.
      Record("unterminated");
      AcknowledgeUnterminated();
      PostInputBuffer(&input);
      return;
    }
    std::string text;
    if (descriptor != nullptr) text.assign(reinterpret_cast<const char*>(descriptor->data), descriptor->count);
    {
      // Both records at once: a test that sees the event also sees the text.
      std::lock_guard<std::mutex> g(mutex_);
      inputs_.push_back(text);
      events_.push_back("input:" + text);
      last_reason_ = reason;
    }
    const bool query = !text.empty() && text.find('?') != std::string::npos;
    std::string answer;
    {
      std::lock_guard<std::mutex> g(mutex_);
      answer = reply;
    }
    if (query) {
      QueryDetected();
      std::memcpy(response.data, answer.data(), answer.size());
      response.count = static_cast<std::uint32_t>(answer.size());
      QueueResponse(&response, 1);
    }
    MessageProcessed();
    PostInputBuffer(&input);
  }
  void OnResponseComplete(std::int32_t reason, MessageBufferDescriptor*) override {
    Record("response:" + std::to_string(reason));
  }
  void OnDeviceClear(std::uint32_t) override {
    Record("clear");
    std::unique_lock<std::mutex> g(mutex_);
    clear_waiting_ = true;
    changed_.notify_all();
    changed_.wait(g, [this] { return !hold_clear_; });
    clear_waiting_ = false;
  }
  void OnTrigger(std::uint32_t) override {
    Record("trigger");
    MessageProcessed();
  }
  // The engine's remote/local event carries 0 LOCS, 1 REMS, 2 LWLS, 3 RWLS.
  void OnStatusByteRequest(std::uint32_t) override {
    Record("stb");
    std::uint8_t byte = 0;
    {
      std::lock_guard<std::mutex> g(mutex_);
      byte = status_byte;
    }
    SetStatusByte(byte);
  }
  void OnRemoteLocalChange(std::int32_t state) override { Record("rl:" + std::to_string(state)); }

  // Device clears wait in OnDeviceClear while held.
  void HoldClears(bool hold) {
    std::lock_guard<std::mutex> g(mutex_);
    hold_clear_ = hold;
    changed_.notify_all();
  }
  bool WaitClearHeld() {
    return WaitFor([&] {
      std::lock_guard<std::mutex> g(mutex_);
      return clear_waiting_;
    });
  }
  void SetReply(const std::string& text) {
    std::lock_guard<std::mutex> g(mutex_);
    reply = text;
  }
  void SetStatus(std::uint8_t byte) {
    std::lock_guard<std::mutex> g(mutex_);
    status_byte = byte;
  }

  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> g(mutex_);
    return events_;
  }
  std::size_t Count(const std::string& prefix) {
    std::lock_guard<std::mutex> g(mutex_);
    std::size_t n = 0;
    for (const std::string& e : events_) n += e.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
  bool WaitCount(const std::string& prefix, std::size_t n) {
    return WaitFor([&] { return Count(prefix) >= n; });
  }
  // The events that start with `prefix`, in order.
  std::vector<std::string> Only(const std::string& prefix) {
    std::lock_guard<std::mutex> g(mutex_);
    std::vector<std::string> out;
    for (const std::string& e : events_)
      if (e.rfind(prefix, 0) == 0) out.push_back(e);
    return out;
  }
  std::vector<std::string> Inputs() {
    std::lock_guard<std::mutex> g(mutex_);
    return inputs_;
  }

  MessageBufferDescriptor input{};
  MessageBufferDescriptor response{};

 private:
  void Record(const std::string& e) {
    std::lock_guard<std::mutex> g(mutex_);
    events_.push_back(e);
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
  std::vector<std::string> inputs_;
  std::int32_t last_reason_ = 0;
  std::string reply = "TORVEX,TEST,0,1.0\n";
  std::uint8_t status_byte = 0;
  bool hold_clear_ = false;
  bool clear_waiting_ = false;
};

inline std::vector<std::uint8_t> TmcHeader(std::uint8_t msg_id, std::uint8_t tag, std::uint32_t size,
                                           std::uint8_t attributes, std::uint8_t term_char = 0,
                                           bool good_inverse = true) {
  std::vector<std::uint8_t> h(12, 0);
  h[0] = msg_id;
  h[1] = tag;
  h[2] = good_inverse ? static_cast<std::uint8_t>(~tag) : tag;
  h[4] = static_cast<std::uint8_t>(size);
  h[5] = static_cast<std::uint8_t>(size >> 8);
  h[6] = static_cast<std::uint8_t>(size >> 16);
  h[7] = static_cast<std::uint8_t>(size >> 24);
  h[8] = attributes;
  h[9] = term_char;
  return h;
}

// A DEV_DEP_MSG_OUT with its payload and alignment bytes.
inline std::vector<std::uint8_t> DevDepMsgOut(const std::string& text, std::uint8_t tag, bool eom = true) {
  std::vector<std::uint8_t> m = TmcHeader(1, tag, static_cast<std::uint32_t>(text.size()), eom ? 1 : 0);
  for (const char c : text) m.push_back(static_cast<std::uint8_t>(c));
  while (m.size() % 4 != 0) m.push_back(0);
  return m;
}

inline std::uint32_t Le32(const std::vector<std::uint8_t>& d, std::size_t at) {
  return static_cast<std::uint32_t>(d[at]) | static_cast<std::uint32_t>(d[at + 1]) << 8 |
         static_cast<std::uint32_t>(d[at + 2]) << 16 | static_cast<std::uint32_t>(d[at + 3]) << 24;
}

class UsbTmcTest : public ::testing::Test {
 protected:
  static constexpr std::uint8_t kAddress = 7;

  void SetUp() override {
    platform::interrupts::ResetController();
    platform::regbus::Map(sim::Gpio::kBase, sim::Gpio::kSize, &gpio_);
    gpio_.Preset(hw::line::kUsbPullup, hw::gpio::kFunctionOutput, false);
    model_ = std::make_unique<sim::UsbDeviceController>(gpio_);
    host_ = std::make_unique<sim::UsbHost>(*model_);
    UsbProvidePlugin();
    ASSERT_EQ(DoVovuriStartEngine(), 0);
    ASSERT_EQ(DoVovuriStartUsbPlugin(), 0);
  }

  void TearDown() override {
    app_.reset();
    DoVovuriStopAll();
    host_.reset();
    model_.reset();
    platform::regbus::Unmap(&gpio_);
    platform::interrupts::ResetController();
  }

  // The application's device enabled and the host's enumeration done.
  void Bring() {
    app_ = std::make_unique<UsbTmcApp>();
    ASSERT_EQ(app_->Start(), 0u);
    ASSERT_TRUE(host_->WaitAttached(kTmcFrames));
    const sim::UsbEnumeration e = host_->Enumerate(kAddress);
    ASSERT_EQ(e.outcome, sim::UsbOutcome::kOk) << e.failed_step << ": " << sim::UsbOutcomeName(e.outcome);
    configuration_ = e.configuration;
  }

  sim::UsbTransfer ClassRequest(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                                std::uint16_t length) {
    return host_->Control(sim::UsbSetup{type, request, value, index, length});
  }
  sim::UsbTransfer Interface(std::uint8_t request, std::uint16_t value, std::uint16_t length) {
    return ClassRequest(kToInterface, request, value, 0, length);
  }

  // CLEAR_FEATURE(ENDPOINT_HALT) on an endpoint address.
  sim::UsbOutcome ClearHalt(std::uint16_t address) {
    return host_->Control(sim::UsbSetup{0x02, 1, 0, address, 0}).outcome;
  }
  sim::UsbTransfer ReadNotification(std::uint32_t frames = kTmcFrames) {
    return host_->ReadIn(kInterruptEp, 2, frames, 2);
  }

  // Bulk-OUT of `bytes`, resumed after the packets the device took until a deadline in wall time: a
  // device slow to take a packet on a loaded machine is waited for, however short the frames.
  sim::UsbOutcome Write(const std::vector<std::uint8_t>& bytes) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::size_t sent = 0;
    for (;;) {
      const std::vector<std::uint8_t> rest(bytes.begin() + static_cast<std::ptrdiff_t>(sent), bytes.end());
      const sim::UsbTransfer t = host_->WriteOut(kBulkOutEp, rest, kTmcFrames);
      sent += t.data.size();
      if (t.outcome != sim::UsbOutcome::kTimeout || sent >= bytes.size() ||
          std::chrono::steady_clock::now() >= deadline) {
        return t.outcome;
      }
    }
  }
  // REQUEST_DEV_DEP_MSG_IN, then the bulk-IN transfer that answers it.
  sim::UsbTransfer RequestIn(std::uint8_t tag, std::uint32_t size, bool term_char_enabled = false,
                             std::uint8_t term_char = 0, std::uint32_t frames = kTmcFrames) {
    const sim::UsbOutcome o = Write(TmcHeader(2, tag, size, term_char_enabled ? 2 : 0, term_char));
    if (o != sim::UsbOutcome::kOk) return sim::UsbTransfer{o, {}, {}, 0, 0};
    return host_->ReadIn(kBulkInEp, size + 12 + 64, frames);
  }
  // A whole query: the message, then one response transfer; the text after the 12-byte header.
  std::string Query(const std::string& text, std::uint8_t tag) {
    if (Write(DevDepMsgOut(text, tag)) != sim::UsbOutcome::kOk) return "<write failed>";
    const sim::UsbTransfer t = RequestIn(static_cast<std::uint8_t>(tag + 1), 4096);
    if (t.outcome != sim::UsbOutcome::kOk || t.data.size() < 12) return "<read failed>";
    return std::string(t.data.begin() + 12, t.data.end());
  }

  sim::Gpio gpio_;
  std::unique_ptr<sim::UsbDeviceController> model_;
  std::unique_ptr<sim::UsbHost> host_;
  std::unique_ptr<UsbTmcApp> app_;
  std::vector<std::uint8_t> configuration_;
};

}  // namespace torvex_test
