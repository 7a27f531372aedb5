// The parser thread, the clients and the dispatcher, driven through the engine's test transport as a
// controller drives them: the message cycle, the reply hand-over, errors, service requests, the
// instrument lock, device clears and client teardown.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "host_fixture.h"
#include "acquisition/CResultsStore.h"
#include "scpi/scpi_command_table.h"

namespace torvex_test {
namespace {

using Torvex::eAttrValue;

// Puts a node's value back at the end of a test.
class ValueGuard {
 public:
  explicit ValueGuard(Torvex::CParameterNode* node) : node_(node) {
    switch (node_->Type()) {
      case Torvex::eNodeType::Boolean: boolean_ = node_->GetBooleanAttribute(eAttrValue); break;
      case Torvex::eNodeType::String: text_ = node_->GetStringAttribute(eAttrValue); break;
      case Torvex::eNodeType::Int32: integer_ = node_->GetInt32Attribute(eAttrValue); break;
      case Torvex::eNodeType::Float64: real_ = node_->GetFloat64Attribute(eAttrValue); break;
      default: break;
    }
  }
  ~ValueGuard() {
    switch (node_->Type()) {
      case Torvex::eNodeType::Boolean: node_->SetBooleanAttribute(eAttrValue, boolean_); break;
      case Torvex::eNodeType::String: node_->SetStringAttribute(eAttrValue, text_); break;
      case Torvex::eNodeType::Int32: node_->SetInt32Attribute(eAttrValue, integer_); break;
      case Torvex::eNodeType::Float64: node_->SetFloat64Attribute(eAttrValue, real_); break;
      default: break;
    }
  }

 private:
  Torvex::CParameterNode* node_;
  bool boolean_ = false;
  std::string text_;
  std::int32_t integer_ = 0;
  double real_ = 0.0;
};

class HostParserTest : public HostTest {};

TEST_F(HostParserTest, QueriesOfOneMessageAreJoinedBySemicolonsAndEndedOnce) {
  EXPECT_EQ(A().Query("FORM?;:FORM?"), "ASCii;ASCii\n");
  EXPECT_EQ(A().Query("CONF:MEAS:LEV?"), A().Query("CONF:MEAS:LEV?"));
  const std::string level = A().Query("CONF:MEAS:LEV?");
  ASSERT_GT(level.size(), 3u);
  EXPECT_EQ(level.substr(level.size() - 3), " V\n");
  EXPECT_TRUE(A().Errors().empty());
}

TEST_F(HostParserTest, IndefiniteReplyEndsTheMessageWithMinus440) {
  const std::string reply = A().Query("*IDN?;*IDN?");
  EXPECT_EQ(std::count(reply.begin(), reply.end(), '\n'), 1);
  EXPECT_EQ(reply.find(';'), std::string::npos);
  EXPECT_EQ(A().Errors(), std::vector<int>{-440});
  EXPECT_EQ(A().Query("*IDN?"), reply);
}

TEST_F(HostParserTest, ASyntaxErrorRunsNoCommandOfTheMessage) {
  ValueGuard guard(Torvex::g_node_host_if_parameters_format);
  ASSERT_TRUE(A().Send("FORM INT;FOO:BAR;FORM ASC"));
  EXPECT_EQ(A().Errors(), std::vector<int>{-102});
  EXPECT_EQ(Torvex::g_node_host_if_parameters_format->GetStringAttribute(eAttrValue), "ASCii");
}

TEST_F(HostParserTest, AnExecutionErrorLetsTheFollowingCommandsRun) {
  ValueGuard format(Torvex::g_node_host_if_parameters_format);
  ValueGuard type(Torvex::g_node_measure_parms_averaging_signal_type);
  // MOVing is a choice of the command but not of the node: -222, and the next command still runs.
  ASSERT_TRUE(A().Send("AVER1:TCON MOV;:FORM INT"));
  EXPECT_EQ(A().Errors(), std::vector<int>{-222});
  EXPECT_EQ(Torvex::g_node_measure_parms_averaging_signal_type->GetStringAttribute(eAttrValue), "EXPonential");
  EXPECT_EQ(Torvex::g_node_host_if_parameters_format->GetStringAttribute(eAttrValue), "INTeger");
}

// Replies of every length modulo 4 arrive whole and with their exact length: the padding to a
// multiple of 4 is never sent, and a wrong padding would be refused by the engine.
TEST_F(HostParserTest, RepliesOfEveryLengthArriveExactly) {
  struct Case {
    const char* message;
    const char* reply;
  };
  const Case cases[] = {
      {"FORM?", "ASCii\n"},                    // 6 bytes in 8
      {"FORM?;:FORM?", "ASCii;ASCii\n"},       // 12 bytes in 16
      {"AVER1:STAT?", nullptr},                // 2 bytes in 4
      {"AVER1:STAT?;:AVER1:STAT?", nullptr},   // 4 bytes in 8
      {"AVER1:STAT?;:FORM?", nullptr},         // 8 bytes in 12
      {"FORM?;:FORM?;:AVER1:STAT?", nullptr},  // 14 bytes in 16
  };
  for (const Case& c : cases) {
    const std::size_t chunks = A().Transport().Chunks().size();
    const std::string reply = A().Query(c.message);
    if (c.reply != nullptr) {
      EXPECT_EQ(reply, c.reply) << c.message;
    }
    ASSERT_FALSE(reply.empty()) << c.message;
    EXPECT_EQ(reply.back(), '\n') << c.message;
    EXPECT_EQ(reply.find('\0'), std::string::npos) << c.message;
    const std::vector<SentChunk> all = A().Transport().Chunks();
    ASSERT_GT(all.size(), chunks);
    EXPECT_TRUE(all.back().end) << c.message;
  }
  EXPECT_TRUE(A().Errors().empty());
}

TEST_F(HostParserTest, ElevenErrorsEndWithQueueOverflow) {
  for (int k = 0; k < 11; ++k) ASSERT_TRUE(A().Send("FOO:BAR"));
  const std::vector<int> errors = A().Errors();
  ASSERT_EQ(errors.size(), 10u);
  for (int k = 0; k < 9; ++k) EXPECT_EQ(errors[k], -102);
  EXPECT_EQ(errors.back(), -350);
  EXPECT_TRUE(B().Errors().empty());
}

TEST_F(HostParserTest, AQueryErrorRequestsServiceExactlyOnce) {
  ASSERT_TRUE(A().Send("*SRE 32;*ESE 4"));
  ASSERT_TRUE(A().Errors().empty());
  const int before = A().Transport().ServiceRequestsAsserted();
  A().Query("*IDN?;*IDN?");  // -440, a query error
  EXPECT_TRUE(WaitFor([&] { return A().Transport().ServiceRequestsAsserted() > before; }));
  // Further messages without new events request nothing more.
  A().Query("FORM?");
  ASSERT_TRUE(A().Send("*WAI"));
  EXPECT_EQ(A().Transport().ServiceRequestsAsserted(), before + 1);
  EXPECT_EQ(B().Transport().ServiceRequestsAsserted(), 0);
  ASSERT_TRUE(A().Send("*CLS;*SRE 0;*ESE 0"));
  A().Errors();
}

TEST_F(HostParserTest, TheLockRefusesAnotherClientsSettersButNotItsQueries) {
  ValueGuard level(Torvex::g_node_measure_parms_measurement_level);
  const double before = Torvex::g_node_measure_parms_measurement_level->GetFloat64Attribute(eAttrValue);
  ASSERT_EQ(A().Query("SYST:LOCK:REQ?"), "1\n");
  ASSERT_TRUE(B().Send("CONF:MEAS:LEV 0.1"));
  EXPECT_EQ(B().Errors(), std::vector<int>{-221});
  EXPECT_EQ(Torvex::g_node_measure_parms_measurement_level->GetFloat64Attribute(eAttrValue), before);
  EXPECT_FALSE(B().Query("CONF:MEAS:LEV?").empty());
  A().Errors();  // the conflict is a device-wide error
  // The owner may set.
  ASSERT_TRUE(A().Send("CONF:MEAS:LEV 0.1"));
  EXPECT_TRUE(A().Errors().empty());
  EXPECT_DOUBLE_EQ(Torvex::g_node_measure_parms_measurement_level->GetFloat64Attribute(eAttrValue), 0.1);
  ASSERT_TRUE(A().Send("SYST:LOCK:REL"));
  ASSERT_TRUE(B().Send("CONF:MEAS:LEV 0.2"));
  EXPECT_TRUE(B().Errors().empty());
  EXPECT_DOUBLE_EQ(Torvex::g_node_measure_parms_measurement_level->GetFloat64Attribute(eAttrValue), 0.2);
}

TEST_F(HostParserTest, TheLockDiesWithItsOwner) {
  ValueGuard level(Torvex::g_node_measure_parms_measurement_level);
  ASSERT_EQ(A().Query("SYST:LOCK:REQ?"), "1\n");
  a_->Destroy();
  EXPECT_EQ(Torvex::g_node_host_if_parameters_lock->GetPointerAttribute(eAttrValue), nullptr);
  ASSERT_TRUE(B().Send("CONF:MEAS:LEV 0.3"));
  EXPECT_TRUE(B().Errors().empty());
  EXPECT_DOUBLE_EQ(Torvex::g_node_measure_parms_measurement_level->GetFloat64Attribute(eAttrValue), 0.3);
}

TEST_F(HostParserTest, AMessageLongerThanOneBufferRunsOnceAsTheJoinedText) {
  ValueGuard format(Torvex::g_node_host_if_parameters_format);
  // 2000 repetitions of "*WAI;" make about 10 KB: three receive buffers.
  std::string message;
  for (int k = 0; k < 2000; ++k) message += "*WAI;";
  message += "FORM INT;:FORM?";
  const std::uint64_t before = A().Host().MessagesProcessed();
  EXPECT_EQ(A().Query(message), "INTeger\n");
  EXPECT_EQ(A().Host().MessagesProcessed(), before + 1);
  EXPECT_TRUE(A().Errors().empty());
}

TEST_F(HostParserTest, AnOverlongMessageIsDiscardedWithInputBufferOverrun) {
  ValueGuard format(Torvex::g_node_host_if_parameters_format);
  std::string message = "FORM INT;";
  while (message.size() <= Torvex::kHostMaxProgramMessage) message += "*WAI;";
  message += "*WAI";
  A().Write(message);
  // The error queue is not empty (EAV) once the message has been given up.
  EXPECT_TRUE(
      WaitFor([&] { return (A().Host().Status().ReadStatusByte(Torvex::CScpiStatus::kReadForStbQuery) & 0x04) != 0; }));
  ASSERT_TRUE(A().Transport().WaitWritten());
  // Nothing of it ran, and the client still answers.
  EXPECT_EQ(A().Query("FORM?"), "ASCii\n");
  EXPECT_EQ(A().Errors(), std::vector<int>{-363});
}

TEST_F(HostParserTest, AnEmptyMessageIsNotQueuedAndTheNextOneRuns) {
  const std::uint64_t before = A().Host().MessagesProcessed();
  A().Write("");
  ASSERT_TRUE(A().Transport().WaitWritten());
  ASSERT_TRUE(A().Transport().WaitIdle());
  EXPECT_EQ(A().Query("FORM?"), "ASCii\n");
  EXPECT_EQ(A().Host().MessagesProcessed(), before + 1);
}

TEST_F(HostParserTest, AReadBeforeTheEndGivesQueryUnterminatedAndStillRuns) {
  ValueGuard format(Torvex::g_node_host_if_parameters_format);
  A().Transport().HostWrite("FORM INT", false);
  ASSERT_TRUE(A().Transport().WaitWritten());
  A().Transport().HostRead(100);
  EXPECT_TRUE(
      WaitFor([] { return Torvex::g_node_host_if_parameters_format->GetStringAttribute(eAttrValue) == "INTeger"; }));
  EXPECT_TRUE(WaitFor([&] { return A().Host().MessagesProcessed() > 0; }));
  EXPECT_EQ(A().Errors(), std::vector<int>{-420});
}

TEST_F(HostParserTest, ADeviceClearDuringABlockedFetchGivesDataNotAllAvailableAndTheClientGoesOn) {
  ASSERT_TRUE(world_->acquisitionStarted);
  ValueGuard source(Torvex::g_node_trigger_parms_trigger_in_source);
  ASSERT_TRUE(A().Send("ROUT:CLOS (@1);:TRIG:SOUR BUS;:INIT"));
  ASSERT_TRUE(A().Errors().empty());
  ASSERT_TRUE(WaitFor([] { return Torvex::g_TriggerActive.load(); }));
  A().Write("FETC?");
  // The fetch waits for the measurement, holding the parser.
  ASSERT_TRUE(WaitFor([] { return Torvex::g_ResultsStore.Waiting(1); }));
  A().Transport().HostDeviceClear();
  EXPECT_TRUE(WaitFor([&] { return Parser().Idle(); }));
  EXPECT_TRUE(WaitFor([&] { return A().Host().MessagesProcessed() > 0; }));
  const std::vector<int> errors = A().Errors();
  EXPECT_NE(std::find(errors.begin(), errors.end(), 204), errors.end());
  // No reply of the cleared message is left; the next query is answered.
  EXPECT_FALSE(A().Query("*IDN?").empty());
  ASSERT_TRUE(A().Send("ABOR"));
  EXPECT_TRUE(WaitFor([] { return !Torvex::g_TriggerActive.load(); }));
  A().Errors();
  B().Errors();
}

TEST_F(HostParserTest, AReadThatComesWhileItsMessageWaitsAndGetsNoReplyLeavesTheClientTakingMessages) {
  ASSERT_TRUE(world_->acquisitionStarted);
  ValueGuard source(Torvex::g_node_trigger_parms_trigger_in_source);
  ValueGuard format(Torvex::g_node_host_if_parameters_format);
  // B's fetch holds the parser; A's message waits in the queue, and A's read request comes meanwhile.
  ASSERT_TRUE(B().Send("ROUT:CLOS (@1);:TRIG:SOUR BUS;:INIT"));
  ASSERT_TRUE(WaitFor([] { return Torvex::g_TriggerActive.load(); }));
  B().Write("FETC?");
  ASSERT_TRUE(WaitFor([] { return Torvex::g_ResultsStore.Waiting(1); }));
  const std::uint64_t before = A().Host().MessagesProcessed();
  A().Write("FORM INT");
  ASSERT_TRUE(A().Transport().WaitWritten());
  A().Transport().HostRead(100);
  ASSERT_TRUE(A().Transport().WaitIdle());
  B().Transport().HostDeviceClear();
  // A's message runs and has no reply: the read is unterminated, reported while A's buffer is still
  // with the parser.
  ASSERT_TRUE(WaitFor([&] { return A().Host().MessagesProcessed() > before; }));
  std::vector<int> errors;
  EXPECT_TRUE(WaitFor([&] {
    errors = A().Errors();
    return !errors.empty();
  }));
  EXPECT_EQ(errors, std::vector<int>{-420});
  EXPECT_EQ(Torvex::g_node_host_if_parameters_format->GetStringAttribute(eAttrValue), "INTeger");
  // A takes its next message.
  EXPECT_TRUE(A().Send("FORM ASC"));
  EXPECT_EQ(Torvex::g_node_host_if_parameters_format->GetStringAttribute(eAttrValue), "ASCii");
  ASSERT_TRUE(B().Send("ABOR"));
  EXPECT_TRUE(WaitFor([] { return !Torvex::g_TriggerActive.load(); }));
  A().Errors();
  B().Errors();
}

TEST_F(HostParserTest, ADeviceClearDropsAQueuedMessageAndTheClientStaysAwake) {
  ASSERT_TRUE(world_->acquisitionStarted);
  ValueGuard source(Torvex::g_node_trigger_parms_trigger_in_source);
  ValueGuard format(Torvex::g_node_host_if_parameters_format);
  // B's fetch holds the parser; A's message waits in the queue and is cleared there.
  ASSERT_TRUE(B().Send("ROUT:CLOS (@1);:TRIG:SOUR BUS;:INIT"));
  ASSERT_TRUE(WaitFor([] { return Torvex::g_TriggerActive.load(); }));
  B().Write("FETC?");
  ASSERT_TRUE(WaitFor([] { return Torvex::g_ResultsStore.Waiting(1); }));
  A().Write("FORM INT");
  ASSERT_TRUE(A().Transport().WaitWritten());
  A().Transport().HostDeviceClear();
  EXPECT_TRUE(WaitFor([&] { return A().Transport().DeviceClearsDone() > 0; }));
  B().Transport().HostDeviceClear();
  EXPECT_TRUE(WaitFor([&] { return Parser().Idle(); }));
  EXPECT_EQ(Torvex::g_node_host_if_parameters_format->GetStringAttribute(eAttrValue), "ASCii");
  EXPECT_EQ(A().Query("FORM?"), "ASCii\n");
  ASSERT_TRUE(B().Send("ABOR"));
  EXPECT_TRUE(WaitFor([] { return !Torvex::g_TriggerActive.load(); }));
  A().Errors();
  B().Errors();
}

TEST_F(HostParserTest, AClientDeletedWhileItsMessageWaitsIsForgotten) {
  ASSERT_TRUE(world_->acquisitionStarted);
  ValueGuard source(Torvex::g_node_trigger_parms_trigger_in_source);
  ValueGuard format(Torvex::g_node_host_if_parameters_format);
  ASSERT_TRUE(B().Send("ROUT:CLOS (@1);:TRIG:SOUR BUS;:INIT"));
  ASSERT_TRUE(WaitFor([] { return Torvex::g_TriggerActive.load(); }));
  B().Write("FETC?");
  ASSERT_TRUE(WaitFor([] { return Torvex::g_ResultsStore.Waiting(1); }));
  A().Write("FORM INT");
  ASSERT_TRUE(A().Transport().WaitWritten());
  a_->Destroy();
  B().Transport().HostDeviceClear();
  EXPECT_TRUE(WaitFor([&] { return Parser().Idle(); }));
  EXPECT_EQ(Torvex::g_node_host_if_parameters_format->GetStringAttribute(eAttrValue), "ASCii");
  ASSERT_TRUE(B().Send("ABOR"));
  EXPECT_TRUE(WaitFor([] { return !Torvex::g_TriggerActive.load(); }));
  B().Errors();
}

TEST_F(HostParserTest, AClientDeletedWhileItsMessageRunsWaitsForTheMessage) {
  ASSERT_TRUE(world_->acquisitionStarted);
  ValueGuard source(Torvex::g_node_trigger_parms_trigger_in_source);
  ASSERT_TRUE(A().Send("ROUT:CLOS (@1);:TRIG:SOUR BUS;:INIT"));
  ASSERT_TRUE(WaitFor([] { return Torvex::g_TriggerActive.load(); }));
  A().Write("FETC?");
  ASSERT_TRUE(WaitFor([] { return Torvex::g_ResultsStore.Waiting(1); }));
  std::atomic<bool> destroyed{false};
  std::thread teardown([&] {
    a_->Destroy();
    destroyed = true;
  });
  // The teardown waits while the fetch runs; clearing the results ends the fetch.
  EXPECT_FALSE(destroyed.load());
  EXPECT_EQ(Torvex::CTorvexHostAcquisition::Clear(), 0);
  teardown.join();
  ASSERT_TRUE(B().Send("ABOR"));
  EXPECT_TRUE(destroyed.load());
  EXPECT_TRUE(WaitFor([&] { return Parser().Idle(); }));
  EXPECT_TRUE(WaitFor([] { return !Torvex::g_TriggerActive.load(); }));
  B().Errors();
}

// A client whose own command leads to its deletion (as switching off its interface would) is
// deleted at the end of that message, after its reply: here a subscriber of the node that the
// command sets asks for the deletion on the parser thread.
struct DeletionRequest {
  Torvex::CTorvexHostParser* parser = nullptr;
  Torvex::CTorvexHostEthernet* client = nullptr;
  std::atomic<bool> armed{false};
  std::atomic<bool> deleted{false};
  std::atomic<bool> deferred{false};
  std::atomic<std::uint64_t> processedAtDeletion{0};
  std::atomic<bool> writeReturned{false};  // the test thread no longer uses the client's transport
};

void DeleteOnChange(Torvex::CParameterNode*, int kind, void* context) {
  auto* request = static_cast<DeletionRequest*>(context);
  if (kind != eAttrValue || !request->armed.exchange(false)) return;
  WaitFor([request] { return request->writeReturned.load(); });
  request->parser->DestroyClient(request->client, [request] {
    request->processedAtDeletion = request->client->MessagesProcessed();
    delete request->client;
    request->deleted = true;
  });
  request->deferred = !request->deleted.load();
}

TEST_F(HostParserTest, AClientDeletedByItsOwnCommandGoesAtTheEndOfTheMessage) {
  static DeletionRequest request;  // the node keeps its subscriber for the rest of the program
  static const bool subscribed = [] {
    Torvex::g_node_comm_parms_modbus_use_float32->Subscribe(&DeleteOnChange, &request);
    return true;
  }();
  ASSERT_TRUE(subscribed);
  ValueGuard node(Torvex::g_node_comm_parms_modbus_use_float32);
  const bool current = Torvex::g_node_comm_parms_modbus_use_float32->GetBooleanAttribute(eAttrValue);

  auto* client = new Torvex::CTorvexHostEthernet(&Parser(), &Torvex::g_ScpiStatusTemplate);
  CTestTransport* transport = TestPlugins::Factory().Last();
  ASSERT_TRUE(client->IsReady());
  ASSERT_EQ(client->Status().ReadStatusByte(0) & 0x04, 0);
  request.parser = &Parser();
  request.client = client;
  request.deleted = false;
  request.writeReturned = false;
  request.armed = true;
  transport->HostWrite(std::string("SYST:COMM:MODB:F32 ") + (current ? "0" : "1") + ";:FORM?", true);
  request.writeReturned = true;
  EXPECT_TRUE(WaitFor([&] { return request.deleted.load(); }));
  EXPECT_TRUE(request.deferred.load());
  // The message was finished (reply handed over, client re-armed) before the client went.
  EXPECT_EQ(request.processedAtDeletion.load(), 1u);
  EXPECT_TRUE(WaitFor([&] { return Parser().Idle(); }));
  EXPECT_EQ(A().Query("FORM?"), "ASCii\n");
}

TEST_F(HostParserTest, AFailedHandOverLeavesNoMessageAvailable) {
  // With the device disabled the engine refuses the reply; the descriptor must not stay pending.
  A().Host().Disable();
  A().Host().ReplyText() = "X\n";
  EXPECT_EQ(A().Host().SendResponse(), Torvex::kHostResponseFailed);
  EXPECT_EQ(A().Host().Status().ReadStatusByte(Torvex::CScpiStatus::kReadForStbQuery) & 0x10, 0);
  // A second hand-over is not blocked by a stale pending reply.
  A().Host().ReplyText() = "Y\n";
  EXPECT_EQ(A().Host().SendResponse(), Torvex::kHostResponseFailed);
}

TEST_F(HostParserTest, MessagesOfTwoClientsAreExecutedWholeInArrivalOrder) {
  ValueGuard format(Torvex::g_node_host_if_parameters_format);
  for (int k = 0; k < 20; ++k) {
    A().Write("FORM INT;:FORM?");
    B().Write("FORM ASC;:FORM?");
    // A read before the whole message arrived would be a read of an unterminated query.
    ASSERT_TRUE(A().Transport().WaitWritten());
    ASSERT_TRUE(B().Transport().WaitWritten());
    EXPECT_EQ(A().Read(), "INTeger\n");
    EXPECT_EQ(B().Read(), "ASCii\n");
  }
  EXPECT_EQ(A().Errors(), std::vector<int>{});
  EXPECT_EQ(B().Errors(), std::vector<int>{});
}

TEST_F(HostParserTest, AGroupTriggerWithoutABusTriggeredMeasurementIsATriggerError) {
  A().Transport().HostTrigger();
  EXPECT_TRUE(
      WaitFor([&] { return (A().Host().Status().ReadStatusByte(Torvex::CScpiStatus::kReadForStbQuery) & 0x04) != 0; }));
  EXPECT_EQ(A().Errors(), std::vector<int>{-210});
  B().Errors();
  // The engine heard that the trigger was processed: the client goes on.
  EXPECT_EQ(A().Query("FORM?"), "ASCii\n");
}

// A trigger in the middle of a message hands the input so far back with the trigger: the client keeps
// it and posts its buffer again, so that the rest of the message arrives and the whole message runs.
TEST_F(HostParserTest, ATriggerInTheMiddleOfAMessageLeavesTheClientAwake) {
  A().Transport().HostWrite("FORM", false);
  ASSERT_TRUE(A().Transport().WaitWritten());
  A().Transport().HostTrigger();
  EXPECT_TRUE(
      WaitFor([&] { return (A().Host().Status().ReadStatusByte(Torvex::CScpiStatus::kReadForStbQuery) & 0x04) != 0; }));
  EXPECT_EQ(A().Query("?"), "ASCii\n");
  EXPECT_EQ(A().Errors(), std::vector<int>{-210});
  B().Errors();
}

TEST_F(HostParserTest, ChannelListsBeyondTheBoundAreAnErrorInTheChannelList) {
  // 100 x 101 addresses exceed the bound of one message.
  ASSERT_TRUE(A().Send("ROUT:CLOS (@1!1!1:1!100!101)"));
  EXPECT_EQ(A().Errors(), std::vector<int>{104});
  B().Errors();
}

TEST_F(HostParserTest, TheStatusByteRequestAnswersFromTheClientsStatus) {
  ASSERT_TRUE(A().Send("*SRE 16"));
  A().Transport().HostWrite("FORM?", true);
  EXPECT_TRUE(WaitFor([&] { return A().Host().MessagesProcessed() > 1; }));
  A().Transport().HostStatusRead();
  EXPECT_TRUE(WaitFor([&] { return !A().Transport().StatusBytes().empty(); }));
  ASSERT_FALSE(A().Transport().StatusBytes().empty());
  EXPECT_EQ(A().Transport().StatusBytes().back() & 0x10, 0x10);  // MAV
  EXPECT_EQ(A().Read(), "ASCii\n");
  ASSERT_TRUE(A().Send("*SRE 0"));
}

}  // namespace
}  // namespace torvex_test
