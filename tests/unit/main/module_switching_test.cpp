// The interface modules and the name server follow the tree: the TCP/IP module runs while VXI-11 is
// enabled and the interface is up, the USB module while USB is enabled, the name server while the
// interface is up and it is enabled. The plug-ins and the name server are recorded (and the plug-ins
// then really started, with the engine's test transport), the host objects are the real ones.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host_fixture.h"
#include "main/ModuleSwitching.h"

namespace torvex_test {
namespace {

using Torvex::CTorvexHost;
using Torvex::eAttrValue;

// What the switches asked of their services, in order.
struct Recorder {
  std::mutex mutex;
  std::vector<std::string> calls;
  std::uint8_t nbnsStartResult = 0;
  bool nbnsRunning = false;
  std::atomic<int> vxi11Running{0};

  void Add(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(call);
  }
  std::size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls.size();
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> taken;
    taken.swap(calls);
    return taken;
  }
};

Recorder& Rec() {
  static Recorder recorder;
  return recorder;
}

const Torvex::ModuleSwitchServices kRecordingServices = {
    [] {
      Rec().Add("start vxi11");
      Rec().vxi11Running.fetch_add(1);
      return DoVovuriStartVxi11Plugin();
    },
    [] {
      Rec().Add("stop vxi11");
      Rec().vxi11Running.fetch_sub(1);
      DoVovuriStopVxi11Plugin();
    },
    [] {
      Rec().Add("start usb");
      return DoVovuriStartUsbPlugin();
    },
    [] {
      Rec().Add("stop usb");
      DoVovuriStopUsbPlugin();
    },
    [](const std::string& host, const std::string& workgroup, const std::string& comment) -> std::uint8_t {
      Rec().Add("nbns start " + host + " " + workgroup + " " + comment);
      std::lock_guard<std::mutex> lock(Rec().mutex);
      Rec().nbnsRunning = true;
      return Rec().nbnsStartResult;
    },
    []() -> std::uint8_t {
      Rec().Add("nbns stop");
      std::lock_guard<std::mutex> lock(Rec().mutex);
      Rec().nbnsRunning = false;
      return 0;
    },
    [] {
      std::lock_guard<std::mutex> lock(Rec().mutex);
      return Rec().nbnsRunning;
    },
    [] { Rec().Add("network pass"); },
};

Torvex::CParameterNode* const& EthernetActive() { return Torvex::g_node_host_if_communication_ethernet_active; }
Torvex::CParameterNode* const& Vxi11Enabled() { return Torvex::g_node_comm_parms_vxi11_enabled; }
Torvex::CParameterNode* const& UsbEnabled() { return Torvex::g_node_comm_parms_usbtmc_enabled; }
Torvex::CParameterNode* const& NbnsEnabled() { return Torvex::g_node_comm_parms_nbns_enabled; }

void Set(Torvex::CParameterNode* node, bool value) { node->SetBooleanAttribute(eAttrValue, value); }
bool Get(Torvex::CParameterNode* node) { return node->GetBooleanAttribute(eAttrValue); }
CTorvexHost* Vxi11Object() {
  return static_cast<CTorvexHost*>(Torvex::g_node_host_if_communication_vxi11_object->GetPointerAttribute(eAttrValue));
}
CTorvexHost* UsbObject() {
  return static_cast<CTorvexHost*>(Torvex::g_node_host_if_communication_usbtmc_object->GetPointerAttribute(eAttrValue));
}

std::string LogText() {
  char* copy = Torvex::g_Logger.CopyBuffer();
  std::string text = copy != nullptr ? copy : "";
  delete[] copy;
  return text;
}

// The module lines the switches logged since `mark`.
std::vector<std::string> ModuleLines(const std::string& log, std::size_t mark) {
  std::vector<std::string> lines;
  std::size_t at = mark;
  while (at < log.size()) {
    std::size_t end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(at, end - at);
    if (line.find("SCPI module") != std::string::npos || line.find("NBNS") != std::string::npos) {
      lines.push_back(line.substr(line.find_first_of("SN")));
    }
    at = end + 1;
  }
  return lines;
}

class ModuleSwitchingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    world_ = &TheHostWorld();
    ASSERT_TRUE(world_->treeLoaded);
    TestPlugins::Install();
    TestPlugins::Factory().SetConfig(TestTransportConfig{});
    ASSERT_EQ(DoVovuriStartEngine(), 0);
    parser_ = std::make_unique<Torvex::CTorvexHostParser>();
    ASSERT_TRUE(parser_->IsRunning());
    Torvex::g_node_host_if_scpi_parser_object->SetPointerAttribute(eAttrValue, parser_.get());
    Torvex::SetModuleSwitchServices(&kRecordingServices);
    // Every input off, as main leaves them before it subscribes; then the subscriptions of main (once
    // per program: the tree has no unsubscribe).
    Set(EthernetActive(), false);
    Set(Vxi11Enabled(), false);
    Set(UsbEnabled(), false);
    Set(NbnsEnabled(), false);
    Torvex::g_node_host_if_communication_nbns_active->SetBooleanAttribute(eAttrValue, false);
    static const bool subscribed = [] {
      Torvex::g_node_comm_parms_ethernet_enabled->Subscribe(Torvex::OnEthernetEnabledChanged, nullptr);
      EthernetActive()->Subscribe(Torvex::OnEthernetActiveChanged, nullptr);
      UsbEnabled()->Subscribe(Torvex::StartStopUsbScpiModule, nullptr);
      Vxi11Enabled()->Subscribe(Torvex::StartStopTcpIpScpiModule, nullptr);
      NbnsEnabled()->Subscribe(Torvex::StartStopNbns, nullptr);
      Torvex::g_node_comm_parms_ethernet_id->Subscribe(Torvex::StartStopNbns, nullptr);
      Torvex::g_node_comm_parms_ethernet_domain->Subscribe(Torvex::StartStopNbns, nullptr);
      return true;
    }();
    (void)subscribed;
    // The board identity the USB device shows (the EEPROM's, at a real start).
    Torvex::g_node_system_manufacturer->SetStringAttribute(eAttrValue, "Brenvold");
    Torvex::g_node_system_model->SetStringAttribute(eAttrValue, "Torvex");
    Torvex::g_node_system_serial_no->SetInt32Attribute(eAttrValue, 42);
    Rec().Take();
    Rec().nbnsStartResult = 0;
  }
  void TearDown() override {
    // Everything off again through the switches, so no host object outlives the test.
    Set(UsbEnabled(), false);
    Set(EthernetActive(), false);
    Set(Vxi11Enabled(), false);
    EXPECT_EQ(Vxi11Object(), nullptr);
    EXPECT_EQ(UsbObject(), nullptr);
    Torvex::SetModuleSwitchServices(nullptr);
    Torvex::g_node_host_if_scpi_parser_object->SetPointerAttribute(eAttrValue, nullptr);
    parser_.reset();
    DoVovuriStopAll();
  }

  static std::size_t LogMark() { return LogText().size(); }

  HostWorld* world_ = nullptr;
  std::unique_ptr<Torvex::CTorvexHostParser> parser_;
};

// Rows of (VXI-11 enabled, interface up) applied one after another, with what each step must do.
TEST_F(ModuleSwitchingTest, TheTcpIpModuleRunsWhileEnabledAndTheInterfaceIsUp) {
  struct Step {
    const char* change;  // "vxi11 on", "vxi11 off", "up", "down"
    bool objectAfter;
    std::vector<std::string> calls;
    std::vector<std::string> lines;
  };
  const std::vector<Step> steps = {
      {"vxi11 on", false, {}, {}},  // enabled while the interface is down: nothing yet
      {"up", true, {"start vxi11"}, {"Starting the TCP/IP SCPI module"}},
      {"up", true, {}, {}},        // unchanged input: nothing
      {"vxi11 on", true, {}, {}},  // unchanged input: nothing
      {"down", false, {"stop vxi11"}, {"Stopping TCP/IP SCPI module."}},
      {"up", true, {"start vxi11"}, {"Starting the TCP/IP SCPI module"}},
      {"vxi11 off", false, {"stop vxi11"}, {"Stopping TCP/IP SCPI module."}},
      {"down", false, {}, {}},
      {"vxi11 on", false, {}, {}},
      {"vxi11 off", false, {}, {}},
  };
  for (const Step& step : steps) {
    const std::string change = step.change;
    const std::size_t mark = LogMark();
    if (change == "vxi11 on") Set(Vxi11Enabled(), true);
    if (change == "vxi11 off") Set(Vxi11Enabled(), false);
    if (change == "up") Set(EthernetActive(), true);
    if (change == "down") Set(EthernetActive(), false);
    EXPECT_EQ(Vxi11Object() != nullptr, step.objectAfter) << change;
    if (Vxi11Object() != nullptr) {
      EXPECT_TRUE(Vxi11Object()->IsReady()) << change;
      EXPECT_EQ(Vxi11Object()->Kind(), Torvex::kHostKindVxi11);
    }
    EXPECT_EQ(Rec().Take(), step.calls) << change;
    EXPECT_EQ(ModuleLines(LogText(), mark), step.lines) << change;
  }
}

TEST_F(ModuleSwitchingTest, TheUsbModuleFollowsItsSettingWithTheBoardIdentity) {
  const std::size_t mark = LogMark();
  Set(UsbEnabled(), true);
  CTorvexHost* first = UsbObject();
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(first->IsReady());
  EXPECT_EQ(first->Kind(), Torvex::kHostKindUsb);
  Set(UsbEnabled(), true);  // unchanged: the same object
  EXPECT_EQ(UsbObject(), first);
  Set(UsbEnabled(), false);
  EXPECT_EQ(UsbObject(), nullptr);
  Set(UsbEnabled(), true);
  EXPECT_NE(UsbObject(), nullptr);
  EXPECT_EQ(Rec().Take(), (std::vector<std::string>{"start usb", "stop usb", "start usb"}));
  EXPECT_EQ(ModuleLines(LogText(), mark),
            (std::vector<std::string>{"Starting the USB SCPI module", "Stopping USB SCPI module.",
                                      "Starting the USB SCPI module"}));
}

TEST(UsbSerialTextTest, SevenDigits) {
  EXPECT_EQ(Torvex::UsbSerialText(42), "0000042");
  EXPECT_EQ(Torvex::UsbSerialText(1234567), "1234567");
  EXPECT_EQ(Torvex::UsbSerialText(0), "0000000");
  EXPECT_EQ(Torvex::UsbSerialText(123456789), "123456789");
}

TEST_F(ModuleSwitchingTest, TheNameServerRestartsOnEveryChangeOfNameOrWorkgroup) {
  const std::string id = Torvex::g_node_comm_parms_ethernet_id->GetStringAttribute(eAttrValue);
  const std::string domain = Torvex::g_node_comm_parms_ethernet_domain->GetStringAttribute(eAttrValue);
  Set(NbnsEnabled(), true);  // the interface is down: nothing runs
  EXPECT_EQ(Rec().Take(), std::vector<std::string>{});
  Set(EthernetActive(), true);
  EXPECT_EQ(Rec().Take(), std::vector<std::string>{"nbns start " + id + " " + domain + " Brenvold Torvex"});
  EXPECT_TRUE(Get(Torvex::g_node_host_if_communication_nbns_active));

  Torvex::g_node_comm_parms_ethernet_id->SetStringAttribute(eAttrValue, "bench7");
  EXPECT_EQ(Rec().Take(), (std::vector<std::string>{"nbns stop", "nbns start bench7 " + domain + " Brenvold Torvex"}));
  Torvex::g_node_comm_parms_ethernet_domain->SetStringAttribute(eAttrValue, "LAB");
  EXPECT_EQ(Rec().Take(), (std::vector<std::string>{"nbns stop", "nbns start bench7 LAB Brenvold Torvex"}));

  Set(EthernetActive(), false);
  EXPECT_EQ(Rec().Take(), std::vector<std::string>{"nbns stop"});
  EXPECT_FALSE(Get(Torvex::g_node_host_if_communication_nbns_active));

  Torvex::g_node_comm_parms_ethernet_id->SetStringAttribute(eAttrValue, id);
  Torvex::g_node_comm_parms_ethernet_domain->SetStringAttribute(eAttrValue, domain);
  Set(NbnsEnabled(), false);
  Rec().Take();
}

// A name another station objected to leaves nbns_active false while the server still runs; it is
// stopped all the same when the interface goes down, so it never answers with a stale address.
TEST_F(ModuleSwitchingTest, AServerWhoseNameWasRefusedIsStillStopped) {
  Rec().nbnsStartResult = 1;
  Set(NbnsEnabled(), true);
  Set(EthernetActive(), true);
  EXPECT_FALSE(Get(Torvex::g_node_host_if_communication_nbns_active));
  Rec().Take();
  Set(EthernetActive(), false);
  EXPECT_EQ(Rec().Take(), std::vector<std::string>{"nbns stop"});
  Set(NbnsEnabled(), false);
}

TEST_F(ModuleSwitchingTest, EveryChangeOfTheEthernetSettingStartsAConfigurationPass) {
  Torvex::CParameterNode* enabled = Torvex::g_node_comm_parms_ethernet_enabled;
  const bool before = Get(enabled);
  Set(enabled, !before);
  Set(enabled, before);
  EXPECT_EQ(Rec().Take(), (std::vector<std::string>{"network pass", "network pass"}));
}

// A USB client switches the TCP/IP module off (and on) over SCPI: the switch runs on the parser
// thread after the message, so the reply of that message still comes and the VXI-11 client that is
// deleted was not in use.
TEST_F(ModuleSwitchingTest, ASwitchCommandedOverScpiRunsAfterItsMessage) {
  Set(Vxi11Enabled(), true);
  Set(EthernetActive(), true);
  ASSERT_NE(Vxi11Object(), nullptr);
  Set(UsbEnabled(), true);
  ASSERT_NE(UsbObject(), nullptr);
  CTestTransport* usb = TestPlugins::Factory().Last();
  Rec().Take();

  const std::uint64_t before = UsbObject()->MessagesProcessed();
  usb->HostWrite("SYST:COMM:VXI11 OFF;*OPC?", true);
  ASSERT_TRUE(WaitFor([&] { return UsbObject()->MessagesProcessed() > before; }));
  usb->HostRead(4096);
  ASSERT_TRUE(WaitFor([&] { return usb->Received().find("1\n") != std::string::npos; }));
  ASSERT_TRUE(WaitFor([&] { return Rec().Count() == 1; }));
  EXPECT_EQ(Vxi11Object(), nullptr);
  EXPECT_EQ(Rec().Take(), std::vector<std::string>{"stop vxi11"});
  // Off and on again within one message: the module is evaluated once the message is done and finds
  // nothing to change.
  usb->HostWrite("SYST:COMM:VXI11 ON", true);
  ASSERT_TRUE(WaitFor([&] { return Rec().Count() == 1 && Vxi11Object() != nullptr; }));
  CTorvexHost* object = Vxi11Object();
  const std::uint64_t processed = UsbObject()->MessagesProcessed();
  usb->HostWrite("SYST:COMM:VXI11 OFF;SYST:COMM:VXI11 ON", true);
  ASSERT_TRUE(WaitFor([&] { return UsbObject()->MessagesProcessed() > processed; }));
  ASSERT_TRUE(WaitFor([&] { return parser_->Idle(); }));
  // Nothing more is recorded: one more message to be sure the evaluation after the last one is over.
  usb->HostWrite("*CLS", true);
  ASSERT_TRUE(WaitFor([&] { return UsbObject()->MessagesProcessed() > processed + 1; }));
  ASSERT_TRUE(WaitFor([&] { return parser_->Idle(); }));
  EXPECT_EQ(Vxi11Object(), object);
  EXPECT_EQ(Rec().Take(), std::vector<std::string>{"start vxi11"});
}

// Two threads toggle the inputs while a USB client toggles VXI-11 over SCPI: every evaluation is
// serialised, so at the end exactly the wanted object exists and every plug-in start has its stop.
TEST_F(ModuleSwitchingTest, ConcurrentTogglesLeaveOneObjectAndBalancedPlugins) {
  Set(UsbEnabled(), true);
  ASSERT_NE(UsbObject(), nullptr);
  CTestTransport* usb = TestPlugins::Factory().Last();
  Rec().vxi11Running = 0;
  constexpr int kRounds = 60;
  std::atomic<bool> go{false};
  std::thread network([&] {
    while (!go.load()) std::this_thread::yield();
    for (int i = 0; i < kRounds; ++i) Set(EthernetActive(), i % 2 == 0);
  });
  std::thread settings([&] {
    while (!go.load()) std::this_thread::yield();
    for (int i = 0; i < kRounds; ++i) Set(Vxi11Enabled(), i % 3 != 0);
  });
  go = true;
  for (int i = 0; i < kRounds / 4; ++i) {
    const std::uint64_t before = UsbObject()->MessagesProcessed();
    usb->HostWrite(i % 2 == 0 ? "SYST:COMM:VXI11 ON" : "SYST:COMM:VXI11 OFF", true);
    ASSERT_TRUE(WaitFor([&] { return UsbObject()->MessagesProcessed() > before; }));
  }
  network.join();
  settings.join();
  ASSERT_TRUE(WaitFor([&] { return parser_->Idle(); }));
  // Settle on a known state through the switches.
  Set(Vxi11Enabled(), true);
  Set(EthernetActive(), true);
  Set(EthernetActive(), false);
  Set(EthernetActive(), true);
  EXPECT_NE(Vxi11Object(), nullptr);
  EXPECT_EQ(Rec().vxi11Running.load(), 1);
  Set(EthernetActive(), false);
  EXPECT_EQ(Vxi11Object(), nullptr);
  EXPECT_EQ(Rec().vxi11Running.load(), 0);
}

}  // namespace
}  // namespace torvex_test
