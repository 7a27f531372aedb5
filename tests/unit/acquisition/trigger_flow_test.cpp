// The trigger flow on a thread of its own against a scripted DSP: initiates, idle polls, the single
// recovery of failed and aborted measurements.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <cstdint>

#include "acq_flows_support.h"
#include "acquisition/CTorvexHostAcquisition.h"
#include "core/CRecursiveMutex.h"
#include "status/ScpiErrorTable.h"

namespace torvex_test {
namespace {

using namespace std::chrono_literals;
using Torvex::CTorvexHostAcquisition;
using Torvex::DspReplyId;

class TriggerFlowTest : public AcqFlowTest {
 protected:
  void SetUp() override {
    AcqFlowTest::SetUp();
    if (HasFatalFailure()) return;
    cyg_semaphore_init(&reply_, 0);
  }
  void TearDown() override {
    AcqFlowTest::TearDown();
    cyg_semaphore_destroy(&reply_);
  }

  cyg_count32 Posted() {
    cyg_count32 count = 0;
    cyg_semaphore_peek(&reply_, &count);
    return count;
  }

  cyg_sem_t reply_;
  std::atomic<bool> probeDestroyed_{false};
};

// The initiator may read the trigger-active flag the moment it is released; the flag must already be
// set then, or an initiator that wakes after a short measurement would set it for good.
TEST_F(TriggerFlowTest, InitiatorIsReleasedOnlyOnceTheTriggerIsActive) {
  AddProbe({1, 1}, kProtonRatio, 1e6, 1e8);
  SetString(Torvex::g_node_trigger_parms_trigger_in_source, "BUS");
  Torvex::g_ExpectedFrequencyHz = 42.0e6;  // tracking at once, then the measurement waits for *TRG
  StartTriggerFlow();

  ASSERT_TRUE(Torvex::g_CommandMailBox.Send({Torvex::kPipeMsgInitiate, &reply_, 0, 0}));
  bool activeAtRelease = false;
  ASSERT_TRUE(WaitFor([&] {
    if (Posted() == 0) return false;
    activeAtRelease = Torvex::g_TriggerActive.load();
    return true;
  }));
  EXPECT_TRUE(activeAtRelease);

  // The bus trigger completes the one measurement; the run ends and the flag is cleared.
  ASSERT_TRUE(Torvex::g_CommandMailBox.Send({Torvex::kPipeMsgBusTrigger, nullptr, 0, 0}));
  EXPECT_TRUE(WaitFor([] { return !Torvex::g_TriggerActive.load(); }));
  ASSERT_NE(Torvex::g_ResultsStore.ReadySlotBuffer(), nullptr);
  EXPECT_EQ(Torvex::g_ResultsStore.ReadySlotBuffer()->count, 1u);
  EXPECT_NE(LogText().find("CTorvexHostAcquisition::TriggerFlow, Initiate\n"), std::string::npos);
}

// A rescan while a measurement waits for its trigger (the topology torn down and built again, the
// new probe selected) takes the measuring probe out of the topology, yet the measurement goes on with
// it: the old probe is destroyed only once the acquisition has let it go, after the measurement was
// stored with its channel.
TEST_F(TriggerFlowTest, ARescanDuringAMeasurementDestroysTheOldProbeOnlyAfterTheAcquisition) {
  TestProbe& probe = AddProbe({1, 1}, kProtonRatio, 1e6, 1e8);
  probe.destroyed = &probeDestroyed_;
  SetString(Torvex::g_node_trigger_parms_trigger_in_source, "BUS");
  Torvex::g_ExpectedFrequencyHz = 42.0e6;  // tracking at once, then the measurement waits for *TRG
  StartTriggerFlow();
  ASSERT_TRUE(Torvex::g_CommandMailBox.Send({Torvex::kPipeMsgInitiate, &reply_, 0, 0}));
  ASSERT_TRUE(WaitFor([&] { return LogText().find("Waiting for trigger No 0\n") != std::string::npos; }));

  Torvex::CTorvexPeripheral::DeleteTopologyNodes(Torvex::g_node_peripherals, true);
  EXPECT_EQ(Torvex::CTorvexPeripheral::FindPeripheralByPath("1/1"), nullptr);
  EXPECT_FALSE(probeDestroyed_.load()) << "destroyed under the running measurement";
  TestProbe& rebuilt = AddProbe({1, 1}, kProtonRatio, 1e6, 1e8, 0, false);
  ASSERT_EQ(Torvex::CTorvexPeripheral::SelectChannel("1/1", nullptr), 0);
  EXPECT_FALSE(probeDestroyed_.load());

  ASSERT_TRUE(Torvex::g_CommandMailBox.Send({Torvex::kPipeMsgBusTrigger, nullptr, 0, 0}));
  ASSERT_TRUE(WaitFor([] { return !Torvex::g_TriggerActive.load(); }));
  EXPECT_TRUE(probeDestroyed_.load());
  EXPECT_EQ(Torvex::g_LastAcqError.load(), 0);
  const Torvex::ResultBuffer* ready = Torvex::g_ResultsStore.ReadySlotBuffer();
  ASSERT_NE(ready, nullptr);
  ASSERT_EQ(ready->count, 1u);
  EXPECT_EQ(ready->channel[0], MakeChannel({1, 1}));
  EXPECT_EQ(Torvex::CTorvexPeripheral::FindPeripheralByPath("1/1"), &rebuilt);
}

// ABORT is never acknowledged: the abort of the DSP fails twice and the system restarts, but the
// store is cleared and the aborting thread is answered first.
TEST_F(TriggerFlowTest, AbortThatCannotStopTheDspStillClearsTheStoreAndReleasesTheRequester) {
  Torvex::ResultBuffer* buffer = Torvex::g_ResultsStore.TryTake(Torvex::CResultsStore::kWriterSlot);
  ASSERT_NE(buffer, nullptr);
  buffer->count = 1;
  Torvex::g_ResultsStore.PublishAndTake(buffer, Torvex::CResultsStore::kWriterSlot);
  ASSERT_NE(Torvex::g_ResultsStore.ReadySlotBuffer(), nullptr);

  script_->SetSilent(true);
  StartTriggerFlow();
  ASSERT_TRUE(Torvex::g_AbortMailBox.Send({Torvex::kAbortMsgAbort, &reply_}));
  ASSERT_TRUE(WaitFor([this] { return flowDone_.load(); }));
  EXPECT_EQ(flowOutcome_.load(), 1) << "the trigger flow leaves with the fatal failure";
  EXPECT_EQ(Posted(), 1);
  EXPECT_EQ(Torvex::g_ResultsStore.ReadySlotBuffer(), nullptr);
  EXPECT_FALSE(Torvex::g_TriggerActive.load());
  EXPECT_EQ(CountOf(RequestIds(*script_), Torvex::kDspAbort), 2u);
}

// An abort while idle stops the DSP and answers the requester; the flow stays idle, also with
// continuous initiation on (an abort never starts a measurement), and no SCPI error is queued.
TEST_F(TriggerFlowTest, AbortWhileIdleKeepsTheFlowIdle) {
  for (bool continuous : {false, true}) {
    SCOPED_TRACE(continuous);
    SetBool(Torvex::g_node_trigger_parms_trigger_in_continuous, continuous);
    Torvex::CScpiStatus client(nullptr, nullptr, nullptr);
    Torvex::g_InitiatingClientStatus = &client;
    const std::size_t before = script_->RequestCount();
    running_ = true;
    StartTriggerFlow();
    ASSERT_TRUE(Torvex::g_AbortMailBox.Send({Torvex::kAbortMsgAbort, &reply_}));
    ASSERT_TRUE(WaitFor([this] { return Posted() == 1; }));
    ASSERT_TRUE(cyg_semaphore_trywait(&reply_));
    StopTriggerFlow();
    const auto ids = RequestIds(*script_);
    const std::vector<std::uint32_t> sent(ids.begin() + static_cast<std::ptrdiff_t>(before), ids.end());
    EXPECT_EQ(sent, std::vector<std::uint32_t>{Torvex::kDspAbort});
    EXPECT_EQ(Torvex::g_LastAcqError.load(), 0);
    std::uint32_t row = 1;
    client.PopError(row);
    EXPECT_EQ(row, 0u);
    Torvex::g_InitiatingClientStatus = nullptr;
  }
}

// A message other than an initiate while idle is a firmware error, reported to the initiating client.
TEST_F(TriggerFlowTest, BusTriggerWhileIdleIsAFirmwareError) {
  Torvex::CScpiStatus client(nullptr, nullptr, nullptr);
  Torvex::g_InitiatingClientStatus = &client;
  StartTriggerFlow();
  ASSERT_TRUE(Torvex::g_CommandMailBox.Send({Torvex::kPipeMsgBusTrigger, nullptr, 0, 0}));
  ASSERT_TRUE(WaitFor([] { return Torvex::g_LastAcqError.load() == Torvex::kAcqUnforeseen; }));
  EXPECT_TRUE(WaitFor([&] { return CountOf(RequestIds(*script_), Torvex::kDspAbort) == 1; }));
  StopTriggerFlow();
  std::uint32_t row = 0;
  client.PopError(row);
  EXPECT_EQ(row, static_cast<std::uint32_t>(Torvex::kScpiErrorFirmwareError));
  EXPECT_NE(Condition(Torvex::kQuestionableRegister) & 0x0200, 0);
  Torvex::g_InitiatingClientStatus = nullptr;
}

// A measurement error maps to its SCPI error and ends even a continuous measurement.
TEST_F(TriggerFlowTest, ErrorEndsAContinuousMeasurementWithItsScpiError) {
  // No channel in the list: the window search fails with 46.
  SetBool(Torvex::g_node_trigger_parms_trigger_in_continuous, true);
  Torvex::CScpiStatus client(nullptr, nullptr, nullptr);
  Torvex::g_InitiatingClientStatus = &client;
  StartTriggerFlow();
  ASSERT_TRUE(Torvex::g_CommandMailBox.Send({Torvex::kPipeMsgInitiate, &reply_, 0, 0}));
  ASSERT_TRUE(WaitFor([] { return Torvex::g_LastAcqError.load() == Torvex::kAcqNoChannel; }));
  ASSERT_TRUE(WaitFor([] { return !Torvex::g_TriggerActive.load(); }));
  StopTriggerFlow();
  EXPECT_EQ(CountOf(RequestIds(*script_), Torvex::kDspPwMeasureParms), 1u) << "no re-initiation after an error";
  std::uint32_t row = 0;
  client.PopError(row);
  EXPECT_EQ(row, static_cast<std::uint32_t>(Torvex::kScpiErrorNoSelectedChannel));
  Torvex::g_InitiatingClientStatus = nullptr;
}

// The idle polls pass the DSP's status word on; a counter that stands still between two polls is a
// stopped DSP, which restarts the system.
TEST_F(TriggerFlowTest, IdlePollsForwardTheStatusAndAStoppedCounterIsFatal) {
  board_->dsp().WriteWord(Torvex::kDspStatusBlockAddress + 8, 0x1);
  StartTriggerFlow();
  EXPECT_TRUE(WaitFor([] {
    Torvex::CRecursiveLockGuard tree(Torvex::g_ParameterTreeLock);
    return Torvex::g_node_ref_clock_external_detected->GetBooleanAttribute(Torvex::eAttrValue);
  }));
  EXPECT_FALSE(flowDone_.load());
  running_ = false;
  ASSERT_TRUE(WaitFor([this] { return flowDone_.load(); }));
  EXPECT_EQ(flowOutcome_.load(), 1);
  flow_.join();
}

}  // namespace
}  // namespace torvex_test
