// The acquisition module's public operations: their codes, what they hand to the acquisition thread
// through the mailboxes, and the answers of requests that the thread takes or drains.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <limits>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "acq_module_support.h"
#include "acquisition/CResultsStore.h"
#include "acquisition/CTorvexException.h"
#include "core/eError.h"
#include "status/CScpiStatus.h"
#include "status/ScpiStatusBitRows.h"
#include "support/wait_for.h"

namespace torvex_test {
namespace {

using Torvex::CTorvexHostAcquisition;
using AbortMsg = CTorvexHostAcquisition::AbortMsg;
using PipeMsg = CTorvexHostAcquisition::PipeMsg;

std::vector<Torvex::CTorvexChannel> OneChannel() {
  Torvex::CTorvexChannel channel;
  channel.AppendLevel(1);
  return {channel};
}

// True while the command mailbox holds a message (a pipe's select does not consume it).
bool CommandWaiting() {
  const int fd = Torvex::g_CommandMailBox.Descriptor();
  fd_set rd;
  FD_ZERO(&rd);
  FD_SET(fd, &rd);
  timeval none{0, 0};
  return platform::select(fd + 1, &rd, nullptr, nullptr, &none) == 1;
}

std::uint16_t TemplateCondition(std::uint32_t reg) {
  std::uint16_t value = 0;
  Torvex::g_ScpiStatusTemplate.GetCondition(reg, value);
  return value;
}

class OperationsTest : public AcqModuleTest {
 protected:
  // The acquisition started and serving, as after the system flow reached the trigger flow.
  void Serve() {
    Torvex::g_AcqStarted = true;
    Torvex::g_AcqServing = true;
  }
  bool MailboxesEmpty() {
    PipeMsg command{};
    AbortMsg abort{};
    const bool noCommand = !Torvex::g_CommandMailBox.TryReceive(&command);
    const bool noAbort = !Torvex::g_AbortMailBox.TryReceive(&abort);
    return noCommand && noAbort;
  }
  // Stands in for the trigger flow: takes one command message and answers its requester as the flow
  // does for an initiate.
  std::thread TakeOneCommand(PipeMsg* taken) {
    return std::thread([taken] {
      PipeMsg message{};
      if (!Torvex::g_CommandMailBox.Receive(&message)) return;
      *taken = message;
      if (message.code == Torvex::kPipeMsgInitiate) Torvex::g_TriggerActive = true;
      CTorvexHostAcquisition::ReleaseRequester(message.replySemaphore, 0);
    });
  }
  std::thread TakeOneAbort(AbortMsg* taken) {
    return std::thread([taken] {
      AbortMsg message{};
      if (!Torvex::g_AbortMailBox.Receive(&message)) return;
      *taken = message;
      CTorvexHostAcquisition::ReleaseRequester(message.replySemaphore, 0);
    });
  }
  // Runs `request` on a thread of its own while this thread drains the mailboxes as a restarting
  // system flow does; the request's answer.
  int AnswerWhileRestarting(std::function<int()> request) {
    std::atomic<bool> done{false};
    int answer = -1;
    std::thread requester([&] {
      answer = request();
      done = true;
    });
    const bool ended = WaitFor([&] {
      CTorvexHostAcquisition::DrainMailboxes();
      return done.load();
    });
    if (!ended) {
      // Leave nobody blocked: answer whatever is still waiting.
      Torvex::g_AcqServing = false;
      CTorvexHostAcquisition::DrainMailboxes();
    }
    requester.join();
    EXPECT_TRUE(ended);
    return answer;
  }
};

TEST_F(OperationsTest, EveryRequestAnswersNotStartedBeforeTheDspStartedAndWhileTheSystemRestarts) {
  Torvex::CScpiStatus client(nullptr, nullptr, nullptr);
  const auto channels = OneChannel();
  const std::string mode = "EXTernal";
  struct Case {
    const char* name;
    std::function<int()> call;
    bool refusedWhileRestarting;  // besides refused before the start
  };
  const Case cases[] = {
      {"initiate", [&] { return CTorvexHostAcquisition::InitiateTrigger(&client, &channels, 0.0); }, true},
      {"abort", [] { return CTorvexHostAcquisition::AbortTrigger(false); }, true},
      {"bus trigger", [] { return CTorvexHostAcquisition::SendBusTrigger(); }, true},
      {"trigger out", [] { return CTorvexHostAcquisition::TriggerOut(true); }, true},
      {"external reference", [&] { return CTorvexHostAcquisition::ConfigureExtRef(mode); }, true},
      {"reset", [] { return CTorvexHostAcquisition::Reset(); }, false},
      {"clear", [] { return CTorvexHostAcquisition::Clear(); }, false},
  };
  const std::size_t requests = script_->RequestCount();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Torvex::g_AcqStarted = false;
    Torvex::g_AcqServing = false;
    EXPECT_EQ(c.call(), Torvex::kAcqNotStarted);
    if (c.refusedWhileRestarting) {
      Torvex::g_AcqStarted = true;
      EXPECT_EQ(c.call(), Torvex::kAcqNotStarted);
    }
    EXPECT_TRUE(MailboxesEmpty());
  }
  EXPECT_EQ(script_->RequestCount(), requests);
  EXPECT_EQ(Torvex::g_InitiatingClientStatus.load(), nullptr);
}

TEST_F(OperationsTest, ARestartingSystemFlowReleasesRequestersAndReadersBeforeItReloadsTheDsp) {
  Serve();
  Torvex::g_ResultsStore.AllocateArrays(4);
  Torvex::g_ResultsStore.Clear();
  const auto channels = OneChannel();
  // An initiate that no trigger flow will take, and a reader waiting for the result of a measurement
  // that will never end.
  auto initiate = std::async(std::launch::async,
                             [&channels] { return CTorvexHostAcquisition::InitiateTrigger(nullptr, &channels, 0.0); });
  ASSERT_TRUE(WaitFor([] { return CommandWaiting(); }));
  Torvex::g_TriggerActive = true;
  auto reader = std::async(std::launch::async, [] {
    double flux = 0.0;
    const int code = CTorvexHostAcquisition::GetFlux(0, &flux);
    CTorvexHostAcquisition::ReleaseResults();
    return code;
  });
  ASSERT_TRUE(WaitFor([] { return Torvex::g_ResultsStore.Waiting(Torvex::CResultsStore::kReaderSlot); }));

  // The scripted DSP never sends DSP_BOOTED: the pass ends fatally, after it has released everyone.
  EXPECT_THROW(CTorvexHostAcquisition::SystemFlow(), Torvex::CFatalAcqException);
  EXPECT_FALSE(Torvex::g_AcqServing.load());
  EXPECT_FALSE(Torvex::g_TriggerActive.load());
  ASSERT_EQ(initiate.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(initiate.get(), Torvex::kAcqNotStarted);
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(reader.get(), Torvex::kAcqNoData);
  EXPECT_TRUE(MailboxesEmpty());
}

TEST_F(OperationsTest, AnAbortThatArrivesDuringTheStartUpRequestsIsAnsweredBeforeTheRestart) {
  cyg_sem_t reply;
  cyg_semaphore_init(&reply, 0);
  const auto loads = [] {
    const std::string text = LogText();
    int n = 0;
    for (auto at = text.find("DSP code loaded!"); at != std::string::npos; at = text.find("DSP code loaded!", at + 1))
      ++n;
    return n;
  };
  const int before = loads();
  // Once the program is loaded: an abort that passed its check before the restart began, then the
  // DSP's boot notice with accepted versions.
  std::thread dsp([&] {
    if (!WaitFor([&] { return loads() > before; })) return;
    Torvex::g_AbortMailBox.Send(AbortMsg{Torvex::kAbortMsgAbort, &reply});
    script_->SendBooted(2, 4, 1, 8);
  });
  EXPECT_THROW(CTorvexHostAcquisition::SystemFlow(), Torvex::CFatalAcqException);
  dsp.join();
  EXPECT_TRUE(Torvex::g_AcqStarted.load());
  EXPECT_NE(LogText().find("CTorvexHostAcquisition::SystemFlow:Acq exception: HostAcq was asked to abort."),
            std::string::npos);
  EXPECT_TRUE(cyg_semaphore_trywait(&reply));
  cyg_semaphore_destroy(&reply);
  // The pass told main the DSP started; later tests of this program start from no post.
  while (cyg_semaphore_trywait(&Torvex::g_DspStartedSemaphore)) {
  }
}

TEST_F(OperationsTest, InitiateRefusesAnActiveTriggerAndThrowsForABrokenPathOrNoChannel) {
  Serve();
  Torvex::CScpiStatus first(nullptr, nullptr, nullptr);
  Torvex::CScpiStatus second(nullptr, nullptr, nullptr);
  const auto channels = OneChannel();
  const std::vector<Torvex::CTorvexChannel> none;

  Torvex::g_TriggerActive = true;
  Torvex::g_InitiatingClientStatus = &first;
  EXPECT_EQ(CTorvexHostAcquisition::InitiateTrigger(&second, &channels, 0.0), Torvex::kAcqSettingsConflict);
  EXPECT_EQ(Torvex::g_InitiatingClientStatus.load(), &second);  // replaced even when refused
  Torvex::g_TriggerActive = false;

  // Both throw before anything is cleared or copied.
  Torvex::g_LastAcqError = 38;
  ASSERT_NE(Torvex::g_node_current_probe_nmr_path_broken, nullptr);
  Torvex::g_node_current_probe_nmr_path_broken->SetBooleanAttribute(Torvex::eAttrValue, true);
  try {
    CTorvexHostAcquisition::InitiateTrigger(&first, &channels, 0.0);
    ADD_FAILURE() << "no exception";
  } catch (Torvex::eError code) {
    EXPECT_EQ(static_cast<int>(code), Torvex::kAcqNmrPathBroken);
  }
  Torvex::g_node_current_probe_nmr_path_broken->SetBooleanAttribute(Torvex::eAttrValue, false);
  try {
    CTorvexHostAcquisition::InitiateTrigger(&first, &none, 0.0);
    ADD_FAILURE() << "no exception";
  } catch (Torvex::eError code) {
    EXPECT_EQ(static_cast<int>(code), Torvex::kAcqNoChannel);
  }
  EXPECT_EQ(Torvex::g_LastAcqError.load(), 38);
  EXPECT_TRUE(Torvex::g_AcqChannelList.empty());
  EXPECT_TRUE(MailboxesEmpty());
}

TEST_F(OperationsTest, InitiateHandsTheRequestOverAndReturnsOnceTheTriggerFlowTookIt) {
  Serve();
  Torvex::CScpiStatus client(nullptr, nullptr, nullptr);
  const auto channels = OneChannel();
  Torvex::g_LastAcqError = 38;
  Torvex::g_ExpectedFrequencyHz = 1.0;
  Torvex::CScpiStatus::SetDeviceBitRow(Torvex::kStatusRowMeasurementFailed, true, false);

  PipeMsg taken{};
  std::thread taker = TakeOneCommand(&taken);
  EXPECT_EQ(CTorvexHostAcquisition::InitiateTrigger(&client, &channels, 0.0), 0);
  taker.join();

  EXPECT_EQ(taken.code, Torvex::kPipeMsgInitiate);
  EXPECT_NE(taken.replySemaphore, nullptr);
  EXPECT_EQ(taken.reserved0, 0u);
  EXPECT_EQ(taken.reserved1, 0u);
  EXPECT_TRUE(Torvex::g_TriggerActive.load());
  EXPECT_EQ(Torvex::g_InitiatingClientStatus.load(), &client);
  EXPECT_EQ(Torvex::g_LastAcqError.load(), 0);
  EXPECT_EQ(Torvex::g_ExpectedFrequencyHz.load(), 0.0);
  ASSERT_EQ(Torvex::g_AcqChannelList.size(), 1u);
  EXPECT_EQ(Torvex::g_AcqChannelList[0], channels[0]);
  EXPECT_EQ(TemplateCondition(Torvex::kQuestionableRegister) & 0x0200, 0);
}

TEST_F(OperationsTest, NoExpectedValueStaysNoneWhateverTheSelectedUnit) {
  Serve();
  Torvex::CScpiStatus client(nullptr, nullptr, nullptr);
  const auto channels = OneChannel();
  // A frequency unit of the probe would need the current probe's ratio; none is selected here.
  Torvex::g_node_units_parms_selected->SetStringAttribute(Torvex::eAttrValue, "MAHZP");
  Torvex::g_ExpectedFrequencyHz = 1.0;
  PipeMsg taken{};
  std::thread taker = TakeOneCommand(&taken);
  EXPECT_EQ(CTorvexHostAcquisition::InitiateTrigger(&client, &channels, 0.0), 0);
  taker.join();
  EXPECT_EQ(Torvex::g_ExpectedFrequencyHz.load(), 0.0);
}

TEST_F(OperationsTest, AnExpectedValueThatCannotBeConvertedAnswersSettingsConflictAfterTheClearing) {
  Serve();
  Torvex::CScpiStatus client(nullptr, nullptr, nullptr);
  const auto channels = OneChannel();
  struct Case {
    const char* unit;
    double expected;
  };
  const Case cases[] = {
      {"NOSUCHUNIT", 1.0},  // a unit name the table does not know is not taken for tesla
      {"MAHZP", 1.0},       // needs the current probe's ratio: no probe selected
      {"MAHZ", std::numeric_limits<double>::quiet_NaN()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.unit);
    Torvex::g_AcqChannelList.clear();
    Torvex::g_LastAcqError = 38;
    Torvex::g_node_units_parms_selected->SetStringAttribute(Torvex::eAttrValue, c.unit);
    EXPECT_EQ(CTorvexHostAcquisition::InitiateTrigger(&client, &channels, c.expected), Torvex::kAcqSettingsConflict);
    EXPECT_EQ(Torvex::g_AcqChannelList.size(), 1u);
    EXPECT_EQ(Torvex::g_LastAcqError.load(), 0);
    EXPECT_FALSE(Torvex::g_TriggerActive.load());
    EXPECT_TRUE(MailboxesEmpty());
  }
}

TEST_F(OperationsTest, RequestsDrainedByARestartAnswerNotStartedInsteadOfWaitingForEver) {
  Serve();
  Torvex::CScpiStatus client(nullptr, nullptr, nullptr);
  const auto channels = OneChannel();
  EXPECT_EQ(AnswerWhileRestarting([&] { return CTorvexHostAcquisition::InitiateTrigger(&client, &channels, 0.0); }),
            Torvex::kAcqNotStarted);
  EXPECT_FALSE(Torvex::g_TriggerActive.load());
  EXPECT_EQ(AnswerWhileRestarting([] { return CTorvexHostAcquisition::AbortTrigger(false); }), Torvex::kAcqNotStarted);
}

TEST_F(OperationsTest, AbortWaitsUntilHandledAndSwitchesContinuousOffOnlyForTheUserFlag) {
  Serve();
  ASSERT_NE(Torvex::g_node_trigger_parms_trigger_in_continuous, nullptr);
  struct Case {
    bool fromUser;
    bool continuousAfter;
  };
  for (const Case& c : {Case{false, true}, Case{true, false}}) {
    SCOPED_TRACE(c.fromUser);
    Torvex::g_node_trigger_parms_trigger_in_continuous->SetBooleanAttribute(Torvex::eAttrValue, true);
    AbortMsg taken{};
    std::thread taker = TakeOneAbort(&taken);
    EXPECT_EQ(CTorvexHostAcquisition::AbortTrigger(c.fromUser), 0);
    taker.join();
    EXPECT_EQ(taken.code, Torvex::kAbortMsgAbort);
    EXPECT_NE(taken.replySemaphore, nullptr);
    EXPECT_EQ(Torvex::g_node_trigger_parms_trigger_in_continuous->GetBooleanAttribute(Torvex::eAttrValue),
              c.continuousAfter);
  }
}

TEST_F(OperationsTest, BusTriggerNeedsAnActiveTriggerWhoseSourceIsExactlyBus) {
  Serve();
  ASSERT_NE(Torvex::g_node_trigger_parms_trigger_in_source, nullptr);
  struct Case {
    bool active;
    const char* source;
    int code;
  };
  const Case cases[] = {
      {false, "BUS", Torvex::kAcqTriggerConflict},
      {true, "IMMediate", Torvex::kAcqTriggerConflict},
      {true, "bus", Torvex::kAcqTriggerConflict},
      {true, "BUS", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    Torvex::g_TriggerActive = c.active;
    Torvex::g_node_trigger_parms_trigger_in_source->SetStringAttribute(Torvex::eAttrValue, c.source);
    EXPECT_EQ(CTorvexHostAcquisition::SendBusTrigger(), c.code);
    PipeMsg message{};
    const bool sent = Torvex::g_CommandMailBox.TryReceive(&message);
    EXPECT_EQ(sent, c.code == 0);
    if (sent) {
      EXPECT_EQ(message.code, Torvex::kPipeMsgBusTrigger);
      EXPECT_EQ(message.replySemaphore, nullptr);
    }
  }
}

TEST_F(OperationsTest, TriggerOutputAndReferenceAreRefusedWhileATriggerIsActive) {
  Serve();
  Torvex::g_TriggerActive = true;
  const std::size_t requests = script_->RequestCount();
  EXPECT_EQ(CTorvexHostAcquisition::TriggerOut(false), Torvex::kAcqTriggerConflict);
  EXPECT_EQ(CTorvexHostAcquisition::ConfigureExtRef("EXTernal"), Torvex::kAcqTriggerConflict);
  EXPECT_EQ(script_->RequestCount(), requests);
}

TEST_F(OperationsTest, TriggerOutputComparesTheDspStateWithTheNode) {
  Serve();
  ASSERT_NO_FATAL_FAILURE(Boot());
  DrainDspEvents();
  ASSERT_NE(Torvex::g_node_trigger_parms_trigger_out_state, nullptr);
  struct Case {
    std::uint32_t dspState;
    bool node;
    bool silent;
    int code;
  };
  const Case cases[] = {
      {1, true, false, 0},
      {0, false, false, 0},
      {0, true, false, Torvex::kAcqTriggerConflict},
      {1, false, false, Torvex::kAcqTriggerConflict},
      {0, false, true, Torvex::kAcqTimeout},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.dspState << " " << c.node << " " << c.silent);
    script_->SetSilent(c.silent);
    script_->SetPayload(Torvex::DspReplyId(Torvex::kDspTriggerOut), {0, 0, c.dspState});
    Torvex::g_node_trigger_parms_trigger_out_state->SetBooleanAttribute(Torvex::eAttrValue, c.node);
    EXPECT_EQ(CTorvexHostAcquisition::TriggerOut(false), c.code);
    EXPECT_FALSE(Torvex::CTorvexDSP::HeldByCaller());
    EXPECT_EQ(script_->LastRequest().at(0), Torvex::kDspTriggerOut);
  }
}

TEST_F(OperationsTest, ExternalReferenceKeepsTheNewModeWhenTheExchangeFails) {
  Serve();
  ASSERT_NO_FATAL_FAILURE(Boot());
  DrainDspEvents();
  ASSERT_NE(Torvex::g_node_ref_clock_parms_mode, nullptr);
  EXPECT_EQ(CTorvexHostAcquisition::ConfigureExtRef("EXTernal"), 0);
  EXPECT_EQ(script_->LastRequest().at(0), Torvex::kDspExternalReference);
  script_->SetSilent(true);
  EXPECT_EQ(CTorvexHostAcquisition::ConfigureExtRef("INTernal"), Torvex::kAcqTimeout);
  EXPECT_EQ(Torvex::g_node_ref_clock_parms_mode->GetStringAttribute(Torvex::eAttrValue), "INTernal");
  EXPECT_FALSE(Torvex::CTorvexDSP::HeldByCaller());
}

TEST_F(OperationsTest, ResetAbortsRestoresTheMeasurementDefaultsAndClearsTheLastError) {
  Serve();
  Torvex::CParameterNode* low = Torvex::g_node_measure_parms_search_low;
  Torvex::CParameterNode* source = Torvex::g_node_trigger_parms_trigger_in_source;
  Torvex::CParameterNode* value = Torvex::g_node_measure_parms_search_value;  // not a reset node
  ASSERT_NE(low, nullptr);
  ASSERT_NE(source, nullptr);
  ASSERT_NE(value, nullptr);
  const double lowDefault = low->GetFloat64Attribute(Torvex::eAttrDefault);
  const std::string sourceDefault = source->GetStringAttribute(Torvex::eAttrDefault);
  low->SetFloat64Attribute(Torvex::eAttrValue, lowDefault + 0.25);
  source->SetStringAttribute(Torvex::eAttrValue, sourceDefault == "BUS" ? "TIMer" : "BUS");
  value->SetFloat64Attribute(Torvex::eAttrValue, value->GetFloat64Attribute(Torvex::eAttrDefault) + 1.0);
  const double valueSet = value->GetFloat64Attribute(Torvex::eAttrValue);
  Torvex::g_LastAcqError = 38;

  AbortMsg taken{};
  std::thread taker = TakeOneAbort(&taken);
  EXPECT_EQ(CTorvexHostAcquisition::Reset(), 0);
  taker.join();
  EXPECT_EQ(taken.code, Torvex::kAbortMsgAbort);
  EXPECT_EQ(low->GetFloat64Attribute(Torvex::eAttrValue), lowDefault);
  EXPECT_EQ(source->GetStringAttribute(Torvex::eAttrValue), sourceDefault);
  EXPECT_EQ(value->GetFloat64Attribute(Torvex::eAttrValue), valueSet);
  EXPECT_EQ(Torvex::g_LastAcqError.load(), 0);
  EXPECT_EQ(CTorvexHostAcquisition::Clear(), 0);
}

TEST_F(OperationsTest, AForgottenClientIsNoLongerTheInitiatingOne) {
  Torvex::CScpiStatus kept(nullptr, nullptr, nullptr);
  Torvex::CScpiStatus other(nullptr, nullptr, nullptr);
  Torvex::g_InitiatingClientStatus = &kept;
  CTorvexHostAcquisition::ForgetClient(&other);
  EXPECT_EQ(Torvex::g_InitiatingClientStatus.load(), &kept);
  CTorvexHostAcquisition::ForgetClient(&kept);
  EXPECT_EQ(Torvex::g_InitiatingClientStatus.load(), nullptr);
}

TEST_F(OperationsTest, TheNmrPathMessageIsSentOnlyForABreakOfTheValue) {
  Torvex::CParameterNode* node = Torvex::g_node_current_probe_nmr_path_broken;
  ASSERT_NE(node, nullptr);
  node->SetBooleanAttribute(Torvex::eAttrValue, false);
  CTorvexHostAcquisition::NMRPathIsBroken(node, Torvex::eAttrValue, nullptr);
  node->SetBooleanAttribute(Torvex::eAttrValue, true);
  CTorvexHostAcquisition::NMRPathIsBroken(node, Torvex::eAttrDefault, nullptr);
  EXPECT_TRUE(MailboxesEmpty());
  CTorvexHostAcquisition::NMRPathIsBroken(node, Torvex::eAttrValue, nullptr);
  AbortMsg message{};
  ASSERT_TRUE(Torvex::g_AbortMailBox.TryReceive(&message));
  EXPECT_EQ(message.code, Torvex::kAcqNmrPathBroken);
  EXPECT_EQ(message.replySemaphore, nullptr);
  node->SetBooleanAttribute(Torvex::eAttrValue, false);
}

TEST_F(OperationsTest, OperationStatesSetTheirThreeBits) {
  struct Case {
    int state;
    std::uint16_t bits;  // of 0x0038
  };
  const Case cases[] = {{2, 0x0030}, {1, 0x0008}, {4, 0x0008}, {-1, 0x0008}, {3, 0x0010}, {0, 0x0000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.state);
    CTorvexHostAcquisition::SetOperationState(c.state);
    EXPECT_EQ(TemplateCondition(Torvex::kOperationRegister) & 0x0038, c.bits);
  }
}

TEST_F(OperationsTest, DspStatusGoesToTheStatusRowsAndTheReferenceNodes) {
  // The subscription lives as long as the tree, which the next test's set-up deletes: the counter
  // outlives both.
  static std::atomic<int> notified{0};
  notified = 0;
  ASSERT_NE(Torvex::g_node_ref_clock_external_detected, nullptr);
  Torvex::ProcessDspStatus(0);
  Torvex::g_node_ref_clock_external_detected->Subscribe(
      [](Torvex::CParameterNode*, int kind, void*) {
        if (kind == Torvex::eAttrValue) ++notified;
      },
      nullptr);
  Torvex::ProcessDspStatus(0x80001);
  EXPECT_EQ(TemplateCondition(Torvex::kQuestionableBit12Register) & 0x0003, 0x0001);
  EXPECT_TRUE(Torvex::g_node_ref_clock_external_detected->GetBooleanAttribute(Torvex::eAttrValue));
  EXPECT_FALSE(Torvex::g_node_ref_clock_external_locked->GetBooleanAttribute(Torvex::eAttrValue));
  Torvex::ProcessDspStatus(0x1);
  EXPECT_EQ(notified.load(), 1);
  Torvex::ProcessDspStatus(0x2);
  EXPECT_EQ(TemplateCondition(Torvex::kQuestionableBit12Register) & 0x0003, 0x0002);
  EXPECT_EQ(notified.load(), 2);
  Torvex::ProcessDspStatus(0);
}

TEST_F(OperationsTest, StartUpWaitsTimeOutWithoutWritingAndLaterSucceedAtOnce) {
  bool accepted = true;
  bool passed = true;
  EXPECT_FALSE(Torvex::WaitForDspStarted(0, &accepted, &passed));
  EXPECT_TRUE(accepted);
  EXPECT_TRUE(passed);
  EXPECT_FALSE(Torvex::WaitForAcqStarted(0));

  Torvex::g_DspVersionAccepted = true;
  Torvex::g_AcqStartupChecksPassed = false;
  cyg_semaphore_post(&Torvex::g_DspStartedSemaphore);
  cyg_semaphore_post(&Torvex::g_AcqStartedSemaphore);
  EXPECT_TRUE(Torvex::WaitForDspStarted(1000, &accepted, &passed));
  EXPECT_TRUE(accepted);
  EXPECT_FALSE(passed);
  EXPECT_TRUE(Torvex::WaitForAcqStarted(1000));
  // Seen once: later calls return at once with the words as they are now, with nothing posted.
  Torvex::g_AcqStartupChecksPassed = true;
  EXPECT_TRUE(Torvex::WaitForDspStarted(0, &accepted, &passed));
  EXPECT_TRUE(passed);
  EXPECT_TRUE(Torvex::WaitForAcqStarted(0));
  Torvex::g_DspVersionAccepted = false;
  Torvex::g_AcqStartupChecksPassed = false;
}

}  // namespace
}  // namespace torvex_test
