// The engine started with the test transport as its VXI-11 and USB plug-ins, and a host device that
// records what the engine hands it (events come on the device's event-loop thread; tests read the
// records from their own thread).
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/C4882Device.h"
#include "engine/DoVovuriEngine.h"
#include "test_transport.h"
#include "support/wait_for.h"

namespace torvex_test {

// The plug-in provision of the tests: both plug-ins hand out the one test factory.
class TestPlugins {
 public:
  static CTestTransportFactory& Factory() {
    static CTestTransportFactory factory{TestTransportConfig{}};
    return factory;
  }
  static void Install() {
    static const DoVovuriPluginHooks hooks{&Start, &Stop};
    DoVovuriInstallPluginHooks(kPluginIdVxi11, &hooks);
    DoVovuriInstallPluginHooks(kPluginIdUsb, &hooks);
  }
  // Interfaces still alive when a plug-in was stopped (must be 0: interfaces go first).
  static int& AliveAtStop() {
    static int alive = 0;
    return alive;
  }

 private:
  static CPhysicalInterfaceFactory* Start(std::uint32_t* status) {
    *status = 0;
    return &Factory();
  }
  static void Stop() { AliveAtStop() += Factory().Alive(); }
};

struct RecordedEvent {
  std::string kind;  // "input", "response", "clear", "trigger", "stb", "rl"
  std::int32_t reason;
  std::uint32_t count;
  bool with_buffer;
};

class TestHost : public CTcpIpDevice {
 public:
  TestHost() {
    MessageBufferDescriptor::Init(&input, 16384, nullptr);
    MessageBufferDescriptor::Init(&response, 16384, nullptr);
  }
  ~TestHost() override {
    Disable();
    MessageBufferDescriptor::Release(&input);
    MessageBufferDescriptor::Release(&response);
  }

  void OnInputComplete(std::int32_t reason, MessageBufferDescriptor* descriptor) override {
    if (descriptor != nullptr) {
      std::lock_guard<std::mutex> lock(mutex_);
      last_input_.assign(reinterpret_cast<const char*>(descriptor->data), descriptor->count);
    }
    Record({"input", reason, descriptor != nullptr ? descriptor->count : 0, descriptor != nullptr});
    if (on_input) on_input(reason, descriptor);
  }
  void OnResponseComplete(std::int32_t reason, MessageBufferDescriptor* descriptor) override {
    Record({"response", reason, descriptor != nullptr ? descriptor->count : 0, descriptor != nullptr});
  }
  void OnDeviceClear(std::uint32_t) override { Record({"clear", 0, 0, false}); }
  void OnTrigger(std::uint32_t) override {
    Record({"trigger", 0, 0, false});
    if (on_trigger) on_trigger();
  }
  void OnStatusByteRequest(std::uint32_t) override {
    Record({"stb", 0, 0, false});
    if (on_status_byte_request) on_status_byte_request();
  }
  void OnRemoteLocalChange(std::int32_t state) override {
    if (on_remote_local) on_remote_local(state);
    Record({"rl", state, 0, false});
  }

  std::vector<RecordedEvent> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::size_t EventCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
  }
  std::string LastInput() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_input_;
  }
  bool WaitEvents(std::size_t count) {
    return WaitFor([&] { return EventCount() >= count; });
  }

  MessageBufferDescriptor input{};
  MessageBufferDescriptor response{};
  // Set before Enable; run on the event-loop thread.
  std::function<void(std::int32_t, MessageBufferDescriptor*)> on_input;
  std::function<void()> on_trigger;
  std::function<void()> on_status_byte_request;
  std::function<void(std::int32_t)> on_remote_local;

 private:
  void Record(const RecordedEvent& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
  }

  std::mutex mutex_;
  std::vector<RecordedEvent> events_;
  std::string last_input_;
};

// The engine with both plug-ins, for each test.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestPlugins::Install();
    TestPlugins::AliveAtStop() = 0;
    TestPlugins::Factory().SetConfig(TestTransportConfig{});
    ASSERT_EQ(DoVovuriStartEngine(), 0);
    ASSERT_EQ(DoVovuriStartVxi11Plugin(), 0);
    ASSERT_EQ(DoVovuriStartUsbPlugin(), 0);
  }
  void TearDown() override { DoVovuriStopAll(); }

  static void UseTransport(const TestTransportConfig& config) { TestPlugins::Factory().SetConfig(config); }
  static CTestTransport* Transport() { return TestPlugins::Factory().Last(); }
};

// A one-shot gate for blocking an event function until the test lets it go.
class Latch {
 public:
  void Open() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
  }
  bool SomeoneWaits() {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_ > 0;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  int waiting_ = 0;
};

}  // namespace torvex_test
