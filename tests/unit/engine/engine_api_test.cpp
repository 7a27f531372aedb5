// The engine's front, registries, function-call interface and application device API, driven through
// the test transport: argument checks, refusals and the codes they give.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/CDoVovuriInterface.h"
#include "engine/CEngineDevice.h"
#include "engine/CEngineDeviceList.h"
#include "engine/CFunctionCallInterface.h"
#include "engine/DoVovuriStatus.h"
#include "engine_fixture.h"

namespace torvex_test {
namespace {

DoVovuriDeviceDescriptor Descriptor(std::uint32_t plugin_id) {
  DoVovuriDeviceDescriptor descriptor{};
  descriptor.size = kDeviceDescriptorSize;
  descriptor.interface_version = kDeviceInterfaceVersion;
  descriptor.transport = plugin_id == kPluginIdVxi11 ? 1 : 0;
  descriptor.plugin_id = plugin_id;
  return descriptor;
}

// An interface of the engine made and released directly, as a device object does.
class RawInterface {
 public:
  explicit RawInterface(std::uint32_t plugin_id = kPluginIdVxi11, std::uint32_t version = 0x01050000) {
    const DoVovuriDeviceDescriptor descriptor = Descriptor(plugin_id);
    interface_ = CreateFunctionCallInterface(version, &descriptor, 0, &status);
  }
  ~RawInterface() {
    if (interface_ != nullptr) {
      std::uint32_t release_status = kStatusNotReported;
      interface_->Disable(&release_status);
      ReleaseFunctionCallInterface(interface_, &release_status);
    }
  }
  CDoVovuriInterface* operator->() { return interface_; }
  CDoVovuriInterface* get() { return interface_; }
  std::uint32_t status = kStatusNotReported;

 private:
  CDoVovuriInterface* interface_ = nullptr;
};

std::uint32_t Noop(std::uint32_t, std::uint32_t, void*, void*) { return 0; }

using EngineApiTest = EngineTest;

TEST_F(EngineApiTest, StartedEngineHasBothRegistries) {
  EXPECT_TRUE(DoVovuriEngineStarted());
  EXPECT_EQ(DoVovuriDeviceListCapacity(), CEngineDeviceList::kInitialCapacity);
  DoVovuriStopAll();
  EXPECT_FALSE(DoVovuriEngineStarted());
  DoVovuriStopVxi11Plugin();  // not started: nothing happens
  EXPECT_EQ(DoVovuriStartEngine(), 0);
  EXPECT_TRUE(DoVovuriEngineStarted());
}

TEST_F(EngineApiTest, PluginRegistrationRefusals) {
  struct Case {
    const char* name;
    std::uint32_t plugin_id;
    std::uint32_t version;
    bool with_factory;
    std::uint32_t expected;
  };
  // Plug-ins 1 and 2 are registered by the fixture.
  const Case cases[] = {
      {"old version", 5, 0x01050000, true, kStatusEngineIncompatible},
      {"id taken", kPluginIdVxi11, kComponentVersion, true, kStatusFactoryRegistered},
      {"no factory", 6, kComponentVersion, false, kStatusNullPointer},
      {"newest of the family", 7, 0x010600FF, true, kStatusSuccess},
  };
  for (const Case& c : cases) {
    std::uint32_t status = kStatusNotReported;
    RegisterPlugin(c.plugin_id, c.version, c.with_factory ? &TestPlugins::Factory() : nullptr, &status);
    EXPECT_EQ(status, c.expected) << c.name;
  }
  UnregisterPlugin(7);
}

TEST_F(EngineApiTest, InterfaceCreationChecks) {
  struct Case {
    const char* name;
    std::uint32_t version;
    std::uint32_t plugin_id;
    bool usb_started;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {"engine version asked", 0x01060000, kPluginIdVxi11, true, kStatusEngineIncompatible},
      {"older interface version", 0x01040001, kPluginIdVxi11, true, kStatusSuccess},
      {"plug-in not started", 0x01050000, kPluginIdUsb, false, kStatusNoFactory},
  };
  for (const Case& c : cases) {
    if (!c.usb_started) DoVovuriStopUsbPlugin();
    RawInterface interface(c.plugin_id, c.version);
    EXPECT_EQ(interface.status, c.expected) << c.name;
    EXPECT_EQ(interface.get() != nullptr, c.expected == kStatusSuccess) << c.name;
  }
  std::uint32_t status = kStatusNotReported;
  EXPECT_EQ(CreateFunctionCallInterface(0x01050000, nullptr, 0, &status), nullptr);
  EXPECT_EQ(status, kStatusNullPointer);
  ReleaseFunctionCallInterface(nullptr, &status);
  EXPECT_EQ(status, kStatusNullPointer);
}

TEST_F(EngineApiTest, HandlesStartAtTheBaseAndTheListGrows) {
  std::vector<std::unique_ptr<RawInterface>> interfaces;
  for (int i = 0; i < 17; ++i) {
    interfaces.push_back(std::make_unique<RawInterface>());
    ASSERT_EQ(interfaces.back()->status, kStatusSuccess);
  }
  EXPECT_EQ(static_cast<CFunctionCallInterface*>(interfaces[0]->get())->Handle(),
            static_cast<std::int32_t>(kDeviceHandleBase));
  EXPECT_EQ(static_cast<CFunctionCallInterface*>(interfaces[16]->get())->Handle(),
            static_cast<std::int32_t>(kDeviceHandleBase + 16));
  EXPECT_EQ(DoVovuriDeviceListCapacity(), 32u);
  interfaces.erase(interfaces.begin());  // slot 0 is free again and reused
  interfaces.push_back(std::make_unique<RawInterface>());
  EXPECT_EQ(static_cast<CFunctionCallInterface*>(interfaces.back()->get())->Handle(),
            static_cast<std::int32_t>(kDeviceHandleBase));
}

TEST_F(EngineApiTest, OperationRefusals) {
  RawInterface interface;
  ASSERT_EQ(interface.status, kStatusSuccess);
  std::uint32_t status = kStatusNotReported;
  interface->EnableEvent(16, &Noop, nullptr, &status);
  EXPECT_EQ(status, kStatusEventInvalid);
  interface->EnableEvent(kEventTrigger, nullptr, nullptr, &status);
  EXPECT_EQ(status, kStatusNullPointer);
  interface->EnableEvent(kEventTrigger, &Noop, nullptr, &status);
  EXPECT_EQ(status, kStatusSuccess);
  interface->EnableEvent(kEventTrigger, &Noop, nullptr, &status);
  EXPECT_EQ(status, kStatusEventAlreadyEnabled);
  // Relaxed mode may be switched before the transport is enabled.
  interface->EnableRelaxedMode(&status);
  EXPECT_EQ(status, kStatusSuccess);
  interface->EnableRelaxedMode(&status);
  EXPECT_EQ(status, kStatusRelaxedAlreadyEnabled);
  interface->DisableRelaxedMode(&status);
  EXPECT_EQ(status, kStatusSuccess);
  interface->DisableRelaxedMode(&status);
  EXPECT_EQ(status, kStatusRelaxedAlreadyDisabled);
  // Operations of the frame need an enabled transport.
  interface->QueryDetected(&status);
  EXPECT_EQ(status, kStatusInterfaceNotEnabled);

  alignas(4) static std::uint8_t data[64];
  DoVovuriVxi11Settings settings{};
  interface->Enable(nullptr, &status);
  EXPECT_EQ(status, kStatusNullPointer);
  interface->Enable(&settings, &status);
  ASSERT_EQ(status, kStatusSuccess);
  interface->Enable(&settings, &status);
  EXPECT_EQ(status, kStatusInterfaceAlreadyEnabled);

  struct BufferCase {
    const char* name;
    void* data;
    std::uint32_t size;
    std::uint32_t expected;
  };
  const BufferCase posts[] = {
      {"null", nullptr, 8, kStatusBufferInvalid},    {"unaligned", data + 1, 8, kStatusBufferNotAligned},
      {"size 0", data, 0, kStatusBufferSizeInvalid}, {"size 6", data, 6, kStatusBufferSizeInvalid},
      {"size 1", data, 1, kStatusSuccess},           {"second buffer", data, 8, kStatusInputBufferPosted},
  };
  for (const BufferCase& c : posts) {
    interface->PostInputBuffer(c.data, c.size, &status);
    EXPECT_EQ(status, c.expected) << c.name;
  }
  interface->QueueResponse(data, 0, 1, &status);
  EXPECT_EQ(status, kStatusBufferSizeInvalid);
  interface->QueueResponse(data, 5, 1, &status);  // IDLE, strict rules
  EXPECT_EQ(status, kStatusQueryNotDetected);
  interface->MessageProcessed(&status);
  EXPECT_EQ(status, kStatusEndNotReceived);
  interface->QueryDetected(&status);
  EXPECT_EQ(status, kStatusNewMessageNotReceived);
  interface->AcknowledgeUnterminated(&status);
  EXPECT_EQ(status, kStatusNotUnterminated);
  interface->CancelResponse(&status);
  EXPECT_EQ(status, kStatusNoResponseQueued);
  interface->EnableRelaxedMode(&status);
  interface->QueueResponse(data, 5, 1, &status);  // relaxed: accepted in IDLE
  EXPECT_EQ(status, kStatusSuccess);

  // A failed wait leaves an entry that dispatching refuses.
  DoVovuriEventEntry entry{0, 0, &Noop, nullptr, nullptr, 0};
  interface->WaitForEvent(0, &entry, &status);
  EXPECT_EQ(status, kStatusEventWaitTimedOut);
  EXPECT_EQ(entry.code, kEventCodeNone);
  interface->DispatchEvent(&entry, &status);
  EXPECT_EQ(status, kStatusEventInvalid);
  interface->EnableEventLoop(&status);
  EXPECT_EQ(status, kStatusSuccess);
  interface->EnableEventLoop(&status);
  EXPECT_EQ(status, kStatusEventLoopRunning);
}

TEST_F(EngineApiTest, DeviceApiRefusals) {
  TestHost host;
  EXPECT_EQ(host.PostInputBuffer(&host.input), DOVOVURI_STATUS_DEVICE_NOT_ENABLED);
  EXPECT_EQ(host.MessageProcessed(), DOVOVURI_STATUS_DEVICE_NOT_ENABLED);
  EXPECT_EQ(host.Disable(), DOVOVURI_STATUS_DEVICE_NOT_ENABLED);
  EXPECT_EQ(host.EnableTriggerEvent(), 0u);
  EXPECT_EQ(host.EnableTriggerEvent(), DOVOVURI_STATUS_EVENT_ALREADY_ENABLED);
  ASSERT_EQ(host.Enable(0, "inst0", 1), 0u);
  EXPECT_EQ(host.Enable(0, "inst0", 1), DOVOVURI_STATUS_DEVICE_ALREADY_ENABLED);
  EXPECT_EQ(host.EnableTriggerEvent(), DOVOVURI_STATUS_EVENT_ALREADY_ENABLED);  // registered by Enable
  EXPECT_EQ(host.PostInputBuffer(nullptr), DOVOVURI_STATUS_MSG_BUFFER_INVALID);
  ASSERT_EQ(host.PostInputBuffer(&host.input), 0u);
  MessageBufferDescriptor other{};
  MessageBufferDescriptor::Init(&other, 64, nullptr);
  EXPECT_EQ(host.PostInputBuffer(&other), DOVOVURI_STATUS_INPUT_QUEUE_ALREADY_ENABLED);
  host.response.count = 0;
  EXPECT_EQ(host.QueueResponse(&host.response, 1), DOVOVURI_STATUS_MSG_BUFFER_INVALID);
  host.response.count = host.response.capacity + 1;
  EXPECT_EQ(host.QueueResponse(&host.response, 1), DOVOVURI_STATUS_MSG_BUFFER_INVALID);
  host.response.count = 4;
  EXPECT_EQ(host.QueueResponse(&host.response, 1), DOVOVURI_STATUS_QUERY_NOT_DETECTED);
  // A refused response leaves nothing pending: the same refusal again, not "already queued".
  EXPECT_EQ(host.QueueResponse(&host.response, 1), DOVOVURI_STATUS_QUERY_NOT_DETECTED);
  MessageBufferDescriptor::Release(&other);
}

TEST_F(EngineApiTest, TcpIpDeviceNames) {
  struct Case {
    const char* name;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {"0123456789abcdef", DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID},
      {"", DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID},
      {"0123456789abcde", 0},
      {nullptr, 0},
  };
  for (const Case& c : cases) {
    TestHost host;
    EXPECT_EQ(host.Enable(0, c.name, 0), c.expected) << (c.name != nullptr ? c.name : "(null)");
  }
}

class UsbHost : public CUsbDevice {
 public:
  ~UsbHost() override { Disable(); }
  void OnInputComplete(std::int32_t, MessageBufferDescriptor*) override {}
  void OnResponseComplete(std::int32_t, MessageBufferDescriptor*) override {}
  void OnDeviceClear(std::uint32_t) override {}
};

TEST_F(EngineApiTest, UsbDeviceTexts) {
  const std::string long_optional(100, 'o');
  const std::string too_long(64, 's');
  struct Case {
    const char* name;
    const char* s0;
    const char* s3;
    std::uint8_t power;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {"plain", "Maker", nullptr, 50, 0},
      {"64 characters", too_long.c_str(), nullptr, 50, DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID},
      {"leading blank", " Maker", nullptr, 50, DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID},
      {"trailing blank", "Maker ", nullptr, 50, DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID},
      {"colon", "Ma:ker", nullptr, 50, DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID},
      {"control character", "Ma\tker", nullptr, 50, DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID},
      {"optional of 100", "Maker", long_optional.c_str(), 50, 0},
      {"empty optional is absent", "Maker", "", 50, 0},
      {"optional with slash", "Maker", "a/b", 50, DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID},
      {"power 251", "Maker", nullptr, 251, DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID},
  };
  for (const Case& c : cases) {
    UsbHost host;
    EXPECT_EQ(host.Enable(0x1234, 0x5678, 0x0100, c.s0, "Model", "Serial 1", c.s3, nullptr, c.power, 1, 0, 0),
              c.expected)
        << c.name;
  }
}

TEST(MessageBufferDescriptorTest, InitChecksSizeAndAlignment) {
  alignas(4) static std::uint8_t storage[16];
  struct Case {
    const char* name;
    std::uint32_t size;
    void* storage;
    std::uint8_t owned;
    std::uint32_t status;
  };
  const Case cases[] = {
      {"size 2", 2, nullptr, 0, kStatusBufferSizeInvalid}, {"size 1, storage", 1, storage, 1, kStatusSuccess},
      {"size 8, storage", 8, storage, 1, kStatusSuccess},  {"odd storage", 8, storage + 1, 0, kStatusBufferNotAligned},
      {"allocated", 4096, nullptr, 1, kStatusSuccess},
  };
  for (const Case& c : cases) {
    MessageBufferDescriptor descriptor{};
    MessageBufferDescriptor::Init(&descriptor, c.size, c.storage);
    EXPECT_EQ(descriptor.owned, c.owned) << c.name;
    EXPECT_EQ(descriptor.status, c.status) << c.name;
    if (descriptor.owned != 0) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(descriptor.data) % 4, 0u) << c.name;
      EXPECT_EQ(descriptor.capacity, c.size) << c.name;
    }
    MessageBufferDescriptor::Release(&descriptor);
  }
}

TEST(EventReasonMapTest, CodesToReasons) {
  const std::pair<int, std::int32_t> rows[] = {{0, 0},  {1, 1},  {2, 3},  {3, 2},  {8, 0},   {9, 2},
                                               {10, 3}, {16, 1}, {40, 0}, {41, 1}, {42, 2},  {43, 3},
                                               {48, 0}, {49, 1}, {50, 2}, {53, 2}, {24, -1}, {127, -1}};
  for (const auto& [code, reason] : rows) EXPECT_EQ(EventReasonMap[code], reason) << code;
}

TEST_F(EngineApiTest, RemoteLocalReportModes) {
  struct Case {
    std::int32_t mode;
    std::vector<std::uint32_t> states;  // 1 LOCS .. 4 RWLS
    std::vector<std::int32_t> reported;
  };
  const Case cases[] = {
      {0, {2, 4, 1}, {1, 0}},
      {1, {2, 4, 1, 3}, {1, 3, 0, 2}},
  };
  for (const Case& c : cases) {
    TestHost host;
    ASSERT_EQ(host.Enable(0, "inst0", 1), 0u);
    ASSERT_EQ(host.EnableRemoteLocalEvent(c.mode), 0u);
    for (std::uint32_t state : c.states) Transport()->HostRemoteLocal(state);
    ASSERT_TRUE(Transport()->WaitIdle());
    ASSERT_TRUE(host.WaitEvents(c.reported.size()));
    ASSERT_TRUE(WaitFor([&] { return host.EventCount() == c.reported.size(); }));
    std::vector<std::int32_t> reported;
    for (const RecordedEvent& event : host.Events()) reported.push_back(event.reason);
    EXPECT_EQ(reported, c.reported) << "mode " << c.mode;
  }
}

TEST_F(EngineApiTest, ReadDuringAnIncompleteMessageIsUnterminatedOnce) {
  TestHost host;
  ASSERT_EQ(host.Enable(0, "inst0", 1), 0u);
  ASSERT_EQ(host.PostInputBuffer(&host.input), 0u);
  Transport()->HostWrite("MEAS", false);  // no END yet
  ASSERT_TRUE(WaitFor([&] { return Transport()->PendingWriteBytes() == 0; }));
  Transport()->HostRead(100);
  ASSERT_TRUE(host.WaitEvents(1));
  Transport()->HostRead(100);
  ASSERT_TRUE(Transport()->WaitIdle());
  const std::vector<RecordedEvent> events = host.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, "input");
  EXPECT_EQ(events[0].reason, kInputReasonUnterminated);
  EXPECT_EQ(events[0].count, 4u);
  EXPECT_EQ(host.LastInput(), "MEAS");
  EXPECT_EQ(host.AcknowledgeUnterminated(), 0u);
}

TEST_F(EngineApiTest, TriggerOutsideAMessageIsEndedByMessageProcessed) {
  TestHost host;
  ASSERT_EQ(host.Enable(0, "inst0", 1), 0u);
  ASSERT_EQ(host.EnableTriggerEvent(), 0u);
  Transport()->HostTrigger();
  ASSERT_TRUE(host.WaitEvents(1));
  EXPECT_EQ(host.Events()[0].kind, "trigger");
  EXPECT_EQ(host.MessageProcessed(), 0u);
  EXPECT_EQ(host.MessageProcessed(), DOVOVURI_STATUS_END_MSG_NOT_RECEIVED);
}

}  // namespace
}  // namespace torvex_test

namespace torvex_test {
namespace {

// A transport that reports nonsense (counts beyond the window, completions without a transfer, states
// out of range, unknown exception codes) loses nothing and crashes nothing.
TEST_F(EngineApiTest, NonsenseFromTheTransportIsIgnoredOrClamped) {
  TestHost host;
  host.on_input = [&](std::int32_t, MessageBufferDescriptor*) { host.PostInputBuffer(&host.input); };
  ASSERT_EQ(host.Enable(0, "inst0", 1), 0u);
  ASSERT_EQ(host.EnableRemoteLocalEvent(1), 0u);
  MessageBufferDescriptor small{};
  alignas(4) static std::uint8_t storage[16];
  MessageBufferDescriptor::Init(&small, 16, storage);
  ASSERT_EQ(host.PostInputBuffer(&small), 0u);
  CTestTransport* transport = Transport();
  transport->HostCall([](CTestTransport& t) {
    t.DataSent(5);            // no send outstanding
    t.DataReceived(7, true);  // no receive outstanding
    t.RemoteLocalChanged(0);  // states are 1 to 4
    t.RemoteLocalChanged(9);
  });
  ASSERT_TRUE(transport->WaitIdle());
  EXPECT_EQ(host.EventCount(), 0u);
  // A receive into the 16-byte buffer reported as 100000 bytes: counted as the buffer's 16.
  transport->HostCall([](CTestTransport& t) {
    t.BeginReceive();
    t.ArmReceive();
  });
  transport->HostCall([](CTestTransport& t) { t.DataReceived(100000, false); });
  ASSERT_TRUE(host.WaitEvents(1));
  EXPECT_EQ(host.Events()[0].kind, "input");
  EXPECT_EQ(host.Events()[0].reason, kInputReasonBufferFull);
  EXPECT_EQ(host.Events()[0].count, 16u);
  transport->HostException(77);  // not a code of the layer: the transport is given up all the same
  ASSERT_TRUE(transport->WaitIdle());
  EXPECT_FALSE(transport->IsTransportEnabled());
  EXPECT_EQ(transport->Violations(), 0);
  EXPECT_EQ(host.Disable(), 0u);
}

}  // namespace
}  // namespace torvex_test
