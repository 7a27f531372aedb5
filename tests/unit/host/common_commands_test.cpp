// The common, status and system commands through the engine's test transport: two VXI-11 clients
// talking to one parser over the simulated board.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/CResultsStore.h"
#include "host/CTorvexHostUsb.h"
#include "host/HostCommonCommands.h"
#include "host_fixture.h"
#include "scpi/scpi_command_table.h"
#include "system/CTorvexPower.h"

namespace torvex_test {
namespace {

using Torvex::CParameterNode;

// The reply without its final line feed.
std::string Reply(HostClient& client, const std::string& message) {
  std::string reply = client.Query(message);
  if (!reply.empty() && reply.back() == '\n') reply.pop_back();
  return reply;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> items;
  std::string item;
  std::istringstream in(text);
  while (std::getline(in, item, separator)) items.push_back(item);
  return items;
}

// The bits of `mask` in a numeric reply.
int Masked(const std::string& reply, int mask) { return std::atoi(reply.c_str()) & mask; }

// Restores a node's value attribute at the end of a test (the tree is shared by the whole program).
class NodeValueGuard {
 public:
  explicit NodeValueGuard(CParameterNode* node) : node_(node) {
    switch (node_->Type()) {
      case Torvex::eNodeType::Boolean: boolean_ = node_->GetBooleanAttribute(Torvex::eAttrValue); break;
      case Torvex::eNodeType::Int32: integer_ = node_->GetInt32Attribute(Torvex::eAttrValue); break;
      case Torvex::eNodeType::String: text_ = node_->GetStringAttribute(Torvex::eAttrValue); break;
      case Torvex::eNodeType::Pointer: pointer_ = node_->GetPointerAttribute(Torvex::eAttrValue); break;
      default: break;
    }
  }
  ~NodeValueGuard() {
    switch (node_->Type()) {
      case Torvex::eNodeType::Boolean: node_->SetBooleanAttribute(Torvex::eAttrValue, boolean_); break;
      case Torvex::eNodeType::Int32: node_->SetInt32Attribute(Torvex::eAttrValue, integer_); break;
      case Torvex::eNodeType::String: node_->SetStringAttribute(Torvex::eAttrValue, text_); break;
      case Torvex::eNodeType::Pointer: node_->SetPointerAttribute(Torvex::eAttrValue, pointer_); break;
      default: break;
    }
  }
  NodeValueGuard(const NodeValueGuard&) = delete;
  NodeValueGuard& operator=(const NodeValueGuard&) = delete;

 private:
  CParameterNode* node_;
  bool boolean_ = false;
  std::int32_t integer_ = 0;
  std::string text_;
  void* pointer_ = nullptr;
};

// Waits (on another thread) for the request that main would take; the power-down reason, or -1 when
// none came in time (a request is then made to free the waiting thread).
int TakeShutdownRequest() {
  std::atomic<int> reason{-1};
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    reason = Torvex::CTorvexPower::WaitForShutdownRequest();
    done = true;
  });
  if (!WaitFor([&] { return done.load(); }, std::chrono::seconds(5))) {
    Torvex::CTorvexPower::RequestShutdown(Torvex::eRequestPowerDown);
    waiter.join();
    return -1;
  }
  waiter.join();
  return reason.load();
}

class CommonCommandsTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    // Start from empty queues (device-wide rows of earlier tests reach every client).
    A().Errors();
    B().Errors();
  }
};

// ---- identity, version, self-test --------------------------------------------------------------------

TEST_F(CommonCommandsTest, IdentityHasFourFieldsFromTheIdentityNodes) {
  NodeValueGuard g1(Torvex::g_node_system_manufacturer), g2(Torvex::g_node_system_model),
      g3(Torvex::g_node_system_serial_no), g4(Torvex::g_node_system_versions_hardware),
      g5(Torvex::g_node_system_versions_arm_firmware), g6(Torvex::g_node_system_versions_dsp_firmware),
      g7(Torvex::g_node_system_versions_cpld), g8(Torvex::g_node_system_versions_parm_file),
      g9(Torvex::g_node_system_eeprom_option_bits);
  Torvex::g_node_system_manufacturer->SetStringAttribute(Torvex::eAttrValue, "Maker");
  Torvex::g_node_system_model->SetStringAttribute(Torvex::eAttrValue, "PT9");
  Torvex::g_node_system_serial_no->SetInt32Attribute(Torvex::eAttrValue, 4711);
  Torvex::g_node_system_versions_hardware->SetStringAttribute(Torvex::eAttrValue, "3");
  Torvex::g_node_system_versions_arm_firmware->SetStringAttribute(Torvex::eAttrValue, "1.2");
  Torvex::g_node_system_versions_dsp_firmware->SetStringAttribute(Torvex::eAttrValue, "2.4");
  Torvex::g_node_system_versions_cpld->SetStringAttribute(Torvex::eAttrValue, "7");
  Torvex::g_node_system_versions_parm_file->SetStringAttribute(Torvex::eAttrValue, "11");
  Torvex::g_node_system_eeprom_option_bits->SetInt32Attribute(Torvex::eAttrValue, 0xAB);

  EXPECT_EQ(Reply(A(), "*IDN?"), "Maker,PT9,4711,el3-arm1.2-dsp2.4-cpld7-pa11-opt000000AB");
  EXPECT_TRUE(A().Errors().empty());

  // The identity is the last reply of its message.
  EXPECT_EQ(Reply(A(), "*IDN?;*IDN?"), "Maker,PT9,4711,el3-arm1.2-dsp2.4-cpld7-pa11-opt000000AB");
  EXPECT_EQ(A().Errors(), std::vector<int>{-440});
}

TEST_F(CommonCommandsTest, FixedAnswers) {
  const struct {
    const char* query;
    const char* reply;
  } cases[] = {
      {"SYST:VERS?", "1999.0"}, {"*TST?", "0"}, {"*OPC?", "1"}, {"*WAI;*OPC?", "1"}, {"system:version?", "1999.0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Reply(A(), c.query), c.reply) << c.query;
  }
  EXPECT_TRUE(A().Errors().empty());
}

// ---- error queue -------------------------------------------------------------------------------------

TEST_F(CommonCommandsTest, ErrorQueryDrainsTheQueueOldestFirst) {
  EXPECT_EQ(Reply(A(), "SYST:ERR?"), "0,\"No error\"");
  ASSERT_TRUE(A().Send("*ESE 256"));  // above the node's maximum
  ASSERT_TRUE(A().Send("SYST:FOO"));  // no such header: a syntax error
  EXPECT_EQ(Reply(A(), "SYST:ERR?"), "-222,\"Data out of range\"");
  EXPECT_EQ(Reply(A(), "SYST:ERROR:NEXT?"), "-102,\"Syntax error\"");
  EXPECT_EQ(Reply(A(), "SYST:ERR?"), "0,\"No error\"");
  // Two in one message: each query takes one.
  ASSERT_TRUE(A().Send("*ESE 300;*SRE 300"));
  EXPECT_EQ(Reply(A(), "SYST:ERR?;:SYST:ERR?;:SYST:ERR?"),
            "-222,\"Data out of range\";-222,\"Data out of range\";0,\"No error\"");
}

// ---- status byte, standard event, service request ----------------------------------------------------

TEST_F(CommonCommandsTest, StandardEventStatusAndStatusByte) {
  // A new client sees power-on once.
  EXPECT_EQ(Reply(B(), "*ESR?"), "128");
  EXPECT_EQ(Reply(B(), "*ESR?"), "0");

  ASSERT_TRUE(B().Send("*ESE 1;*SRE 32"));
  EXPECT_EQ(Reply(B(), "*ESE?;*SRE?"), "1;32");
  EXPECT_EQ(Reply(B(), "*STB?"), "0");
  const int requests = B().Transport().ServiceRequestsAsserted();
  ASSERT_TRUE(B().Send("*OPC"));
  // ESB (32) and MSS (64).
  EXPECT_EQ(Reply(B(), "*STB?"), "96");
  EXPECT_TRUE(WaitFor([&] { return B().Transport().ServiceRequestsAsserted() > requests; }));
  EXPECT_EQ(Reply(B(), "*ESR?"), "1");
  EXPECT_EQ(Reply(B(), "*STB?"), "0");

  // A refused value leaves the enable as it was.
  ASSERT_TRUE(B().Send("*SRE 256"));
  EXPECT_EQ(Reply(B(), "*SRE?"), "32");
  EXPECT_EQ(B().Errors(), std::vector<int>{-222});

  // *CLS empties the queue and the events, the enables stay.
  ASSERT_TRUE(B().Send("*SRE 999;*OPC"));
  ASSERT_TRUE(B().Send("*CLS"));
  EXPECT_EQ(Reply(B(), "SYST:ERR?"), "0,\"No error\"");
  EXPECT_EQ(Reply(B(), "*ESR?;*ESE?;*SRE?"), "0;1;32");
  // The other client's registers were never touched.
  EXPECT_EQ(Reply(A(), "*ESE?;*SRE?"), "0;0");
}

// ---- the STATus registers ----------------------------------------------------------------------------

struct StatusRegisterCase {
  const char* header;          // the register's header path
  std::uint32_t conditionRow;  // a row of the register with a condition that nothing else drives
  std::uint16_t mask;          // its bit; 0 when the register has no such row
  std::uint16_t presetEnable;  // the enable after STATus:PRESet
};
void PrintTo(const StatusRegisterCase& c, std::ostream* os) { *os << c.header; }

class StatusMatrixTest : public CommonCommandsTest, public ::testing::WithParamInterface<StatusRegisterCase> {};

TEST_P(StatusMatrixTest, EnableFiltersConditionEventAndPreset) {
  const StatusRegisterCase& c = GetParam();
  const std::string h = c.header;
  Torvex::CScpiStatus& status = A().Host().Status();

  // Setters and their queries; bit 15 is reserved in the enable.
  ASSERT_TRUE(A().Send(h + ":ENAB 65535;PTR 0;NTR 0"));
  EXPECT_EQ(Reply(A(), h + ":ENAB?;PTR?;NTR?"), "32767;0;0");
  EXPECT_TRUE(A().Errors().empty());
  ASSERT_TRUE(A().Send(h + ":ENAB 70000"));
  EXPECT_EQ(A().Errors(), std::vector<int>{-222});
  EXPECT_EQ(Reply(A(), h + ":ENAB?"), "32767");

  if (c.mask != 0) {
    // With both filters closed, the condition shows but makes no event.
    Reply(A(), h + ":PTR 0;NTR 0;:" + h + "?");  // reading clears the event
    status.SetBitRow(c.conditionRow, true, false);
    EXPECT_EQ(Masked(Reply(A(), h + ":COND?"), c.mask), c.mask);
    EXPECT_EQ(Masked(Reply(A(), h + "?"), c.mask), 0);
    status.SetBitRow(c.conditionRow, false, false);

    // The positive filter catches the rise, the negative one the fall; the event query clears.
    ASSERT_TRUE(A().Send(h + ":PTR " + std::to_string(c.mask) + ";NTR " + std::to_string(c.mask)));
    EXPECT_EQ(Reply(A(), h + ":PTR?;NTR?"), std::to_string(c.mask) + ";" + std::to_string(c.mask));
    status.SetBitRow(c.conditionRow, true, false);
    EXPECT_EQ(Reply(A(), h + ":EVEN?"), std::to_string(c.mask));
    EXPECT_EQ(Reply(A(), h + ":EVEN?"), "0");
    status.SetBitRow(c.conditionRow, false, false);
    EXPECT_EQ(Masked(Reply(A(), h + ":COND?"), c.mask), 0);
    EXPECT_EQ(Reply(A(), h + "?"), std::to_string(c.mask));
  } else {
    // A register whose bits the system drives: the queries answer, the filters are stored.
    ASSERT_TRUE(A().Send(h + ":PTR 5;NTR 6"));
    EXPECT_EQ(Reply(A(), h + ":PTR?;NTR?"), "5;6");
    EXPECT_FALSE(Reply(A(), h + ":COND?;:" + h + ":EVEN?").empty());
  }

  // Preset: all rising edges, no falling ones, the register's preset enable.
  ASSERT_TRUE(A().Send("STAT:PRES"));
  EXPECT_EQ(Reply(A(), h + ":PTR?;NTR?;ENAB?"), "65535;0;" + std::to_string(c.presetEnable));
  A().Errors();
  B().Errors();
}

INSTANTIATE_TEST_SUITE_P(
    AllRegisters, StatusMatrixTest,
    ::testing::Values(StatusRegisterCase{"STAT:OPER", Torvex::kStatusRowOperationBit1, 0x0002, 0},
                      StatusRegisterCase{"STAT:QUES", Torvex::kStatusRowQuestionableBit0, 0x0001, 0},
                      StatusRegisterCase{"STAT:OPER:BIT11", Torvex::kStatusRowNone, 0, 0xFFFF},
                      StatusRegisterCase{"STAT:OPER:BIT12", Torvex::kStatusRowMeasurementNotStarted, 0x0001, 0xFFFF},
                      StatusRegisterCase{"STAT:QUES:BIT12", Torvex::kStatusRowNone, 0, 0xFFFF}),
    [](const ::testing::TestParamInfo<StatusRegisterCase>& info) {
      std::string name = info.param.header;
      for (char& ch : name)
        if (ch == ':') ch = '_';
      return name;
    });

TEST_F(CommonCommandsTest, StatusSettersMarkTheirSettingsGroupEvent) {
  Reply(A(), "STAT:OPER:BIT11?");  // clears the event
  // Each setter of each register, and a refused one that marks nothing.
  const char* setters[] = {"STAT:OPER:ENAB 0", "STAT:QUES:PTR 1", "STAT:OPER:BIT11:NTR 0", "STAT:OPER:BIT12:ENAB 3",
                           "STAT:QUES:BIT12:PTR 2"};
  for (const char* setter : setters) {
    ASSERT_TRUE(A().Send(setter));
    EXPECT_EQ(Reply(A(), "STAT:OPER:BIT11?"), "2") << setter;
  }
  ASSERT_TRUE(A().Send("STAT:OPER:ENAB 65536"));
  EXPECT_EQ(A().Errors(), std::vector<int>{-222});
  EXPECT_EQ(Reply(A(), "STAT:OPER:BIT11?"), "0");
  ASSERT_TRUE(A().Send("STAT:PRES"));
}

// ---- help ------------------------------------------------------------------------------------------------

TEST_F(CommonCommandsTest, HelpHeadersIsADefiniteBlockOfTheHeaderList) {
  const std::string reply = Reply(A(), "SYST:HELP:HEAD?");
  ASSERT_GE(reply.size(), 6u);
  ASSERT_EQ(reply.substr(0, 2), "#4");
  const std::size_t length = std::stoul(reply.substr(2, 4));
  const std::string list = reply.substr(6);
  EXPECT_EQ(list.size(), length);
  EXPECT_LT(length, 5000u);
  // Every pattern's header is in the list.
  for (std::size_t n = 0; n < Torvex::kScpiCommandCount; ++n) {
    std::string header = Torvex::kScpiCommandPatterns[n];
    if (header.back() == '?') header.pop_back();
    EXPECT_NE(list.find(header), std::string::npos) << header;
  }
  EXPECT_TRUE(A().Errors().empty());
}

TEST_F(CommonCommandsTest, HelpSyntaxAnswersTheEntryOfTheFirstMatchingPattern) {
  const struct {
    const char* text;
    std::size_t command;
  } cases[] = {
      {"*IDN?", 4},
      {"MEAS?", 97},
      {"conf:lev", 40},
      {"CALCULATE:AVERAGE2:COUNT?", 28},
      {"UNIT", 229},
      {"syst:comm:vxi11", 210},
      {"STAT:OPER:BIT11:PTR?", 156},
      {"ROUT:PROB:LOWL?", 131},
  };
  for (const auto& c : cases) {
    const std::string reply = Reply(A(), std::string("SYST:HELP:SYNT? ") + c.text);
    const std::string pattern = Torvex::kScpiCommandPatterns[c.command];
    EXPECT_EQ(reply.substr(0, pattern.size()), pattern) << c.text;
    EXPECT_LT(reply.size(), 130u);
  }
  // A command with parameters names them after the pattern.
  EXPECT_NE(Reply(A(), "SYST:HELP:SYNT? UNIT").find("GAUSs"), std::string::npos);
  EXPECT_TRUE(A().Errors().empty());

  // No pattern: an empty answer (the next query still gets its ";"), -222.
  EXPECT_EQ(Reply(A(), "SYST:HELP:SYNT? FOO;*OPC?"), ";1");
  EXPECT_EQ(A().Errors(), std::vector<int>{-222});

  // The text is matched from the root, whatever header path the message's last command left.
  const std::string level = Reply(A(), "SYST:HELP:SYNT? CONF:LEV;:STAT:OPER:ENAB?");
  const std::string pattern = Torvex::kScpiCommandPatterns[Torvex::kCmdMeasurementLevel];
  EXPECT_EQ(level.substr(0, pattern.size()), pattern);
  EXPECT_TRUE(A().Errors().empty());
}

TEST_F(CommonCommandsTest, MissingOrShortHelpFileIsAFirmwareError) {
  const std::filesystem::path file = std::filesystem::path(platform::BoardRoot()) / "romfs" / "help.dat";
  const std::filesystem::path saved = file.string() + ".saved";
  std::filesystem::rename(file, saved);
  struct Restore {
    std::filesystem::path from, to;
    ~Restore() {
      std::error_code ec;
      std::filesystem::remove(to, ec);
      std::filesystem::rename(from, to, ec);
    }
  } restore{saved, file};

  EXPECT_EQ(Reply(A(), "SYST:HELP:HEAD?"), "#40000");
  EXPECT_EQ(A().Errors(), std::vector<int>{200});

  // A file that ends inside the syntax entries: the first entries answer, the last does not.
  {
    std::ifstream in(saved, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ofstream out(file, std::ios::binary);
    out << content.substr(0, 5036 + 130 * 10);
  }
  EXPECT_EQ(Reply(A(), "SYST:HELP:SYNT? *CLS"), "*CLS");
  EXPECT_TRUE(A().Errors().empty());
  ASSERT_TRUE(A().Send("SYST:HELP:SYNT? UNIT:PPMR"));
  EXPECT_EQ(A().Errors(), std::vector<int>{200});
}

// ---- the instrument lock ---------------------------------------------------------------------------

TEST_F(CommonCommandsTest, LockBetweenTwoClients) {
  NodeValueGuard level(Torvex::g_node_measure_parms_measurement_level);
  EXPECT_EQ(Reply(A(), "SYST:LOCK:REQ?"), "1");
  EXPECT_EQ(Reply(A(), "SYST:LOCK:REQ?"), "1");  // the owner asks again
  EXPECT_EQ(Reply(B(), "SYST:LOCK:REQ?"), "0");
  EXPECT_TRUE(B().Errors().empty());

  // B's setters are refused, its queries still run.
  ASSERT_TRUE(B().Send("CONF:MEAS:LEV 0.1"));
  EXPECT_EQ(B().Errors(), std::vector<int>{-221});
  ASSERT_TRUE(B().Send("SYST:LOCK:REL"));
  EXPECT_EQ(B().Errors(), std::vector<int>{-221});
  ASSERT_TRUE(B().Send("*RST"));
  EXPECT_EQ(B().Errors(), std::vector<int>{-221});
  EXPECT_EQ(Reply(B(), "SYST:VERS?"), "1999.0");
  A().Errors();

  // The owner may set; after its release B gets the lock.
  ASSERT_TRUE(A().Send("CONF:MEAS:LEV 0.1"));
  EXPECT_TRUE(A().Errors().empty());
  ASSERT_TRUE(A().Send("SYST:LOCK:REL"));
  EXPECT_EQ(Reply(B(), "SYST:LOCK:REQ?"), "1");
  EXPECT_EQ(Reply(A(), "SYST:LOCK:REQ?"), "0");
  ASSERT_TRUE(B().Send("SYST:LOCK:REL"));
  // Releasing a free lock does nothing.
  ASSERT_TRUE(A().Send("SYST:LOCK:REL"));
  EXPECT_TRUE(A().Errors().empty());
  EXPECT_EQ(Torvex::g_node_host_if_parameters_lock->GetPointerAttribute(Torvex::eAttrValue), nullptr);
}

// ---- restarts --------------------------------------------------------------------------------------

TEST_F(CommonCommandsTest, ResetAsksMainForARestart) {
  ASSERT_TRUE(A().Send("*RST"));
  EXPECT_EQ(TakeShutdownRequest(), Torvex::eShutdownReset);
  // The rest of the message still runs.
  EXPECT_EQ(Reply(A(), "*RST;*OPC?"), "1");
  EXPECT_EQ(TakeShutdownRequest(), Torvex::eShutdownReset);
  EXPECT_TRUE(A().Errors().empty());
}

TEST_F(CommonCommandsTest, UpgradeEntersFirmwareUpdateMode) {
  ASSERT_TRUE(A().Send("DIAG:UPGR"));
  EXPECT_EQ(TakeShutdownRequest(), Torvex::eShutdownFirmwareUpdate);
  EXPECT_NE(LogText().find("Entering DFU mode..."), std::string::npos);
}

// ---- communication settings ------------------------------------------------------------------------

TEST_F(CommonCommandsTest, NoClientSwitchesOffItsOwnInterface) {
  NodeValueGuard eth(Torvex::g_node_comm_parms_ethernet_enabled), vxi(Torvex::g_node_comm_parms_vxi11_enabled),
      usb(Torvex::g_node_comm_parms_usbtmc_enabled);
  Torvex::g_node_comm_parms_ethernet_enabled->SetBooleanAttribute(Torvex::eAttrValue, true);
  Torvex::g_node_comm_parms_vxi11_enabled->SetBooleanAttribute(Torvex::eAttrValue, true);
  Torvex::g_node_comm_parms_usbtmc_enabled->SetBooleanAttribute(Torvex::eAttrValue, true);
  Reply(A(), "STAT:OPER:BIT11?");

  for (const char* command : {"SYST:COMM:ETH OFF", "SYST:COMM:VXI11 OFF", "SYST:COMM:VXI11:ENAB 0"}) {
    ASSERT_TRUE(A().Send(command));
    EXPECT_EQ(A().Errors(), std::vector<int>{-221}) << command;
    B().Errors();
    EXPECT_EQ(Reply(A(), "STAT:OPER:BIT11?"), "0") << command;
  }
  EXPECT_TRUE(Torvex::g_node_comm_parms_ethernet_enabled->GetBooleanAttribute(Torvex::eAttrValue));
  EXPECT_TRUE(Torvex::g_node_comm_parms_vxi11_enabled->GetBooleanAttribute(Torvex::eAttrValue));
  // Switching it on is no conflict.
  ASSERT_TRUE(A().Send("SYST:COMM:VXI11 ON;:SYST:COMM:ETH ON"));
  EXPECT_TRUE(A().Errors().empty());
  EXPECT_EQ(Reply(A(), "SYST:COMM:VXI11?;:SYST:COMM:ETH?"), "1;1");

  // The other interface may be switched off from here.
  ASSERT_TRUE(A().Send("SYST:COMM:USBT OFF"));
  EXPECT_TRUE(A().Errors().empty());
  EXPECT_FALSE(Torvex::g_node_comm_parms_usbtmc_enabled->GetBooleanAttribute(Torvex::eAttrValue));
  EXPECT_EQ(Reply(A(), "SYST:COMM:USBT?"), "0");
  EXPECT_EQ(Reply(A(), "STAT:OPER:BIT11?"), "1");
  ASSERT_TRUE(A().Send("SYST:COMM:USBT ON"));
  EXPECT_TRUE(Torvex::g_node_comm_parms_usbtmc_enabled->GetBooleanAttribute(Torvex::eAttrValue));
}

TEST_F(CommonCommandsTest, UsbClientCannotSwitchOffUsb) {
  NodeValueGuard usb(Torvex::g_node_comm_parms_usbtmc_enabled),
      object(Torvex::g_node_host_if_communication_usbtmc_object);
  Torvex::g_node_comm_parms_usbtmc_enabled->SetBooleanAttribute(Torvex::eAttrValue, true);
  Torvex::CTorvexHostUsb usbHost(&Parser(), &Torvex::g_ScpiStatusTemplate, 0x1234, 0x0001, 0x0100, "maker", "model",
                                 "1", "", "", 50, 0);
  if (!usbHost.IsReady()) GTEST_SKIP() << "the test transport gave no USB client";
  CTestTransport* transport = TestPlugins::Factory().Last();
  Torvex::g_node_host_if_communication_usbtmc_object->SetPointerAttribute(Torvex::eAttrValue,
                                                                          static_cast<Torvex::CTorvexHost*>(&usbHost));

  const std::uint64_t before = usbHost.MessagesProcessed();
  transport->HostWrite("SYST:COMM:USBT OFF", true);
  ASSERT_TRUE(WaitFor([&] { return usbHost.MessagesProcessed() > before; }));
  std::uint32_t row = 0;
  usbHost.Status().PopError(row);
  std::int16_t code = 0;
  const char* text = nullptr;
  Torvex::CScpiStatus::GetErrorText(row, code, text);
  EXPECT_EQ(code, -221);
  EXPECT_TRUE(Torvex::g_node_comm_parms_usbtmc_enabled->GetBooleanAttribute(Torvex::eAttrValue));
  A().Errors();
  B().Errors();

  // From USB the Ethernet interface may be switched off.
  {
    NodeValueGuard eth(Torvex::g_node_comm_parms_ethernet_enabled);
    Torvex::g_node_comm_parms_ethernet_enabled->SetBooleanAttribute(Torvex::eAttrValue, true);
    std::uint16_t event = 0;
    usbHost.Status().GetEvent(Torvex::kOperationBit11Register, event);
    usbHost.Status().ClearEvent(Torvex::kOperationBit11Register);
    const std::uint64_t count = usbHost.MessagesProcessed();
    transport->HostWrite("SYST:COMM:ETH OFF", true);
    ASSERT_TRUE(WaitFor([&] { return usbHost.MessagesProcessed() > count; }));
    row = 0;
    usbHost.Status().PopError(row);
    EXPECT_EQ(row, 0u);
    EXPECT_FALSE(Torvex::g_node_comm_parms_ethernet_enabled->GetBooleanAttribute(Torvex::eAttrValue));
    usbHost.Status().GetEvent(Torvex::kOperationBit11Register, event);
    EXPECT_EQ(event & 0x0001, 0x0001);
  }

  // From VXI-11 the USB interface may be switched off; the USB client still answers afterwards (its
  // transport is stopped by the node's subscribers, which this test does not run).
  ASSERT_TRUE(A().Send("SYST:COMM:USBT OFF"));
  EXPECT_TRUE(A().Errors().empty());
  EXPECT_FALSE(Torvex::g_node_comm_parms_usbtmc_enabled->GetBooleanAttribute(Torvex::eAttrValue));
  const std::uint64_t after = usbHost.MessagesProcessed();
  transport->HostWrite("*OPC", true);
  EXPECT_TRUE(WaitFor([&] { return usbHost.MessagesProcessed() > after; }));
}

TEST_F(CommonCommandsTest, EthernetAddressAutoOrText) {
  NodeValueGuard automatic(Torvex::g_node_comm_parms_ethernet_auto_address),
      address(Torvex::g_node_comm_parms_ethernet_ip_address);
  Reply(A(), "STAT:OPER:BIT11?");
  ASSERT_TRUE(A().Send("SYST:COMM:ETH:ADDR 192.168.1.20"));
  EXPECT_TRUE(A().Errors().empty());
  EXPECT_EQ(Reply(A(), "SYST:COMM:ETH:ADDR?;AUTO?"), "192.168.1.20;0");
  EXPECT_EQ(Reply(A(), "STAT:OPER:BIT11?"), "1");

  ASSERT_TRUE(A().Send("SYST:COMM:ETH:ADDR AUTO"));
  EXPECT_TRUE(A().Errors().empty());
  EXPECT_EQ(Reply(A(), "SYST:COMM:ETH:ADDR?;AUTO?"), "192.168.1.20;1");
  EXPECT_EQ(Reply(A(), "STAT:OPER:BIT11?"), "1");
}

TEST_F(CommonCommandsTest, EthernetRestartRunsTheNetworkHook) {
  static std::atomic<int> passes{0};
  passes = 0;
  Torvex::SetNetworkRestartHook(nullptr);
  ASSERT_TRUE(A().Send("SYST:COMM:ETH:REST"));
  EXPECT_EQ(A().Errors(), std::vector<int>{200});
  B().Errors();

  Torvex::SetNetworkRestartHook([] { ++passes; });
  ASSERT_TRUE(A().Send("SYST:COMM:ETH:REST"));
  EXPECT_EQ(passes.load(), 1);
  EXPECT_TRUE(A().Errors().empty());
  Torvex::SetNetworkRestartHook(nullptr);
}

// ---- units and trigger ------------------------------------------------------------------------------

TEST_F(CommonCommandsTest, UnitListPairsEveryUnitWithOneTesla) {
  const std::string choices = Torvex::g_node_units_parms_selected->GetStringAttribute(Torvex::eAttrChoices);
  const std::vector<std::string> names = Split(choices, ',');
  const std::vector<std::string> items = Split(Reply(A(), "UNIT:ALL?"), ',');
  ASSERT_EQ(items.size(), 2 * names.size());
  for (std::size_t k = 0; k < names.size(); ++k) {
    EXPECT_EQ(items[2 * k], names[k]);
    const double value = std::strtod(items[2 * k + 1].c_str(), nullptr);
    std::string digits = items[2 * k + 1];
    if (!digits.empty() && digits[0] == '-') digits.erase(0, 1);
    EXPECT_EQ(digits.size(), std::string("1.000000000000000e+00").size()) << items[2 * k + 1];
    if (names[k] == "T") {
      EXPECT_EQ(items[2 * k + 1], "1.000000000000000e+00");
    } else if (names[k] == "MT") {
      EXPECT_EQ(items[2 * k + 1], "1.000000000000000e+03");
    } else if (names[k] == "GAUSs" || names[k] == "GAUSS") {
      EXPECT_DOUBLE_EQ(value, 1e4);
    } else if (names[k] == "HZ") {
      // Frequency units need the current probe: its ratio, or -1 without a probe.
      EXPECT_TRUE(value == -1.0 || (value > 1e6 && value < 1e8)) << value;
    }
  }
  EXPECT_TRUE(A().Errors().empty());
}

// Publishes an empty result, as a finished measurement would; false when the writer side is busy.
bool PublishResult() {
  Torvex::ResultBuffer* buffer = Torvex::g_ResultsStore.TryTake(Torvex::CResultsStore::kWriterSlot);
  if (buffer == nullptr) return false;
  buffer->count = 0;
  Torvex::g_ResultsStore.Release(buffer);
  return Torvex::g_ResultsStore.ReadySlotBuffer() == buffer;
}

TEST_F(CommonCommandsTest, PpmReferenceDropsHeldResultsOnlyInPpm) {
  NodeValueGuard unit(Torvex::g_node_units_parms_selected), reference(Torvex::g_node_units_parms_ppm_ref);

  ASSERT_TRUE(A().Send("UNIT T"));
  ASSERT_TRUE(PublishResult());
  ASSERT_TRUE(A().Send("UNIT:PPMR 1.5 T"));
  EXPECT_TRUE(A().Errors().empty());
  EXPECT_NE(Torvex::g_ResultsStore.ReadySlotBuffer(), nullptr);
  EXPECT_DOUBLE_EQ(Torvex::g_node_units_parms_ppm_ref->GetFloat64Attribute(Torvex::eAttrValue), 1.5);

  ASSERT_TRUE(A().Send("UNIT PPM"));
  Torvex::g_ResultsStore.Clear();
  ASSERT_TRUE(PublishResult());
  ASSERT_TRUE(A().Send("UNIT:PPMR 2 T"));
  EXPECT_TRUE(A().Errors().empty());
  EXPECT_EQ(Torvex::g_ResultsStore.ReadySlotBuffer(), nullptr);
  EXPECT_DOUBLE_EQ(Torvex::g_node_units_parms_ppm_ref->GetFloat64Attribute(Torvex::eAttrValue), 2.0);
  Torvex::g_ResultsStore.Clear();
}

TEST_F(CommonCommandsTest, BusTriggerWithoutABusTriggeredMeasurementIsATriggerError) {
  ASSERT_TRUE(A().Send("*TRG"));
  EXPECT_EQ(A().Errors(), std::vector<int>{-210});
}

}  // namespace
}  // namespace torvex_test
