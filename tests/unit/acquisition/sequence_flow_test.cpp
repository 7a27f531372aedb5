// Measurement sequences and trigger waiting against a scripted DSP: counts, failed measurements, the
// trigger sources, the TRIGGER exchange with a stopped DSP, matching and tuning in AUTO mode.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "acq_flows_support.h"
#include "acquisition/AcqFlowSupport.h"
#include "acquisition/CTorvexException.h"
#include "acquisition/CTorvexHostAcquisition.h"

namespace torvex_test {
namespace {

using namespace std::chrono_literals;
using Torvex::CTorvexHostAcquisition;
using Torvex::DspReplyId;

class SequenceFlowTest : public AcqFlowTest {
 protected:
  void SetUp() override {
    AcqFlowTest::SetUp();
    if (HasFatalFailure()) return;
    probe_ = &AddProbe({1, 2}, kProtonRatio, 1e6, 1e8);
    peripheral_ = CTorvexHostAcquisition::PrepareChannel(0);
  }

  // One sequence with a known frequency (no search); its result.
  int RunSequence(double frequency = 42.0e6) {
    frequency_ = frequency;
    return CTorvexHostAcquisition::AcquisitionSequenceFlow(peripheral_, false, frequency_);
  }

  const Torvex::ResultBuffer* Ready() { return Torvex::g_ResultsStore.ReadySlotBuffer(); }

  TestProbe* probe_ = nullptr;
  Torvex::CPeripheralReference peripheral_;
  double frequency_ = 0.0;
};

// Each measurement lands in the buffer with the measuring channel; the count is capped at the buffer's
// capacity; a count of 0 publishes an empty, successful sequence.
TEST_F(SequenceFlowTest, CountMeasurementsArePublishedUpToTheCapacity) {
  PwValues values;
  values.flux = 0.9876;
  values.frequency = 42.05e6;
  values.sigma = 1.5f;
  values.uniformity = 2.5f;
  values.timestamp = 0x123456789ull;
  script_->SetPayload(DspReplyId(Torvex::kDspTrigger), PwPayload(values));
  struct Case {
    std::int32_t count;
    std::uint32_t published;
  };
  for (const Case& c :
       {Case{3, 3}, Case{static_cast<std::int32_t>(capacity_) + 2, capacity_}, Case{0, 0}, Case{0x10002, 2}}) {
    SCOPED_TRACE(c.count);
    SetI32(Torvex::g_node_trigger_parms_trigger_in_count, c.count);
    Torvex::CScpiStatus::SetDeviceBitRow(Torvex::kStatusRowSequenceSucceeded, false, true);
    Torvex::CScpiStatus::SetDeviceBitRow(Torvex::kStatusRowMeasurementFailed, true, true);
    TakeEvents(Torvex::kOperationRegister);
    const std::size_t before = CountOf(RequestIds(*script_), Torvex::kDspTrigger);
    EXPECT_EQ(RunSequence(), 0);
    ASSERT_NE(Ready(), nullptr);
    EXPECT_EQ(Ready()->count, c.published);
    EXPECT_EQ(CountOf(RequestIds(*script_), Torvex::kDspTrigger) - before, c.published);
    for (std::uint32_t i = 0; i < c.published; ++i) {
      EXPECT_EQ(Ready()->flux[i], 0.9876);
      EXPECT_EQ(Ready()->frequency[i], 42.05e6);
      EXPECT_EQ(Ready()->sigma[i], 1.5f);
      EXPECT_EQ(Ready()->uniformity[i], 2.5f);
      EXPECT_EQ(Ready()->timestamp[i], 0x123456789ull);
      EXPECT_EQ(Ready()->channel[i], MakeChannel({1, 2}));
    }
    EXPECT_EQ(frequency_, c.published > 0 ? 42.05e6 : 42.0e6);
    const std::uint16_t events = TakeEvents(Torvex::kOperationRegister);
    EXPECT_NE(events & 0x0200, 0) << "row 24";
    if (c.published > 0) {
      EXPECT_NE(events & 0x0100, 0) << "row 23";
    }
    EXPECT_EQ(Condition(Torvex::kQuestionableRegister) & 0x0200, 0) << "row 38";
  }
  EXPECT_EQ(probe_->GetLastFrequency(), 42.05e6);
  const std::string log = LogText();
  for (const char* line :
       {"AcquisitionSequenceFlow: Waiting for trigger No 0\n", "AcquisitionSequenceFlow: Waiting for trigger No 2\n",
        "AcquisitionSequenceFlow: Measurements succeeded\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
}

// A measurement of 0 Hz ends the sequence: the buffer is published empty, row 38 is set and the
// channel forgets its frequency, so the next sequence searches.
TEST_F(SequenceFlowTest, MeasurementWithoutResonanceFailsTheSequence) {
  SetI32(Torvex::g_node_trigger_parms_trigger_in_count, 5);
  PwValues none;
  none.frequency = 0.0;
  script_->QueuePayload(DspReplyId(Torvex::kDspTrigger), PwPayload(PwValues{}));
  script_->QueuePayload(DspReplyId(Torvex::kDspTrigger), PwPayload(none));
  EXPECT_EQ(RunSequence(), 1);
  EXPECT_EQ(CountOf(RequestIds(*script_), Torvex::kDspTrigger), 2u);
  ASSERT_NE(Ready(), nullptr);
  EXPECT_EQ(Ready()->count, 0u);
  EXPECT_NE(Condition(Torvex::kQuestionableRegister) & 0x0200, 0) << "row 38";
  const std::uint16_t events = TakeEvents(Torvex::kOperationRegister);
  EXPECT_NE(events & 0x0100, 0) << "row 23";
  EXPECT_EQ(probe_->GetLastFrequency(), 0.0);
  EXPECT_EQ(frequency_, 0.0);
  EXPECT_NE(LogText().find("AcquisitionSequenceFlow: Measurements failed\n"), std::string::npos);
}

// With no frequency known the sequence searches and tracks what it found; a search without result
// fails the sequence without touching the store.
TEST_F(SequenceFlowTest, UnknownFrequencySearchesFirst) {
  SetF64(Torvex::g_node_measure_parms_search_low, 0.9);
  SetF64(Torvex::g_node_measure_parms_search_high, 1.1);
  script_->SetPayload(DspReplyId(Torvex::kDspInitiateSearch), SearchPayload(0.0));
  EXPECT_EQ(RunSequence(0.0), 1);
  EXPECT_EQ(Ready(), nullptr);
  EXPECT_EQ(CountOf(RequestIds(*script_), Torvex::kDspTrigger), 0u);

  script_->SetPayload(DspReplyId(Torvex::kDspInitiateSearch), SearchPayload(42.2e6));
  EXPECT_EQ(RunSequence(0.0), 0);
  const auto tracking = FramesOf(*script_, Torvex::kDspInitiateTracking);
  ASSERT_EQ(tracking.size(), 1u);
  EXPECT_EQ(Torvex::GetDouble(&tracking[0][2]), 42.2e6);
  ASSERT_NE(Ready(), nullptr);
  EXPECT_EQ(Ready()->count, 1u);
}

// In manual search mode INITIATE_MANUAL_MEASUREMENT precedes every sequence, and nothing is searched.
TEST_F(SequenceFlowTest, ManualSearchModeAsksForAManualMeasurement) {
  SetString(Torvex::g_node_measure_parms_search_mode, "MANual");
  const std::size_t before = script_->RequestCount();
  EXPECT_EQ(RunSequence(0.0), 0);
  const auto ids = RequestIds(*script_);
  EXPECT_EQ(std::vector<std::uint32_t>(ids.begin() + static_cast<std::ptrdiff_t>(before), ids.end()),
            (std::vector<std::uint32_t>{Torvex::kDspInitiateManualMeasurement, Torvex::kDspTrigger}));
}

// Only the four sources are known; anything else restarts the acquisition system.
TEST_F(SequenceFlowTest, UnknownTriggerSourceIsFatal) {
  for (const char* source : {"MANual", "", "immediate"}) {
    SCOPED_TRACE(source);
    SetString(Torvex::g_node_trigger_parms_trigger_in_source, source);
    Torvex::PwMeasurement measurement;
    EXPECT_THROW(CTorvexHostAcquisition::TriggerWaitingFlow(&measurement), Torvex::CFatalAcqException);
  }
  EXPECT_EQ(CountOf(RequestIds(*script_), Torvex::kDspTrigger), 0u);
}

// A DSP that holds the measurement back with its counter standing still has stopped: a located
// time-out after the third 200 ms wait at the earliest, with the interface released.
TEST_F(SequenceFlowTest, StoppedDspDuringTheTriggerExchangeIsATimeOut) {
  for (const char* source : {"IMMediate", "EXTernal"}) {
    SCOPED_TRACE(source);
    SetString(Torvex::g_node_trigger_parms_trigger_in_source, source);
    script_->SetSilent(true);
    running_ = false;
    const auto start = std::chrono::steady_clock::now();
    Torvex::PwMeasurement measurement;
    try {
      CTorvexHostAcquisition::TriggerWaitingFlow(&measurement);
      FAIL() << "no time-out";
    } catch (const Torvex::CAcqError& error) {
      EXPECT_EQ(error.m_Code, Torvex::kAcqTimeout);
      EXPECT_NE(std::string(error.what()).find("HostAcq encountered an error at: "), std::string::npos);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 600ms);
    EXPECT_FALSE(Torvex::CTorvexDSP::HeldByCaller());
    // The abandoned TRIGGER is cleared by an ABORT, as the recovery does.
    script_->SetSilent(false);
    running_ = true;
    ASSERT_NO_THROW(CTorvexHostAcquisition::AbortDSP());
  }
}

// An external trigger is waited for by the DSP: "Trigger!" comes first and the operation state stays
// "waiting for trigger" until the measurement is back; a running counter keeps the exchange alive.
TEST_F(SequenceFlowTest, ExternalTriggerWaitsAsLongAsTheDspRuns) {
  SetString(Torvex::g_node_trigger_parms_trigger_in_source, "EXTernal");
  script_->SetSilent(true);
  std::atomic<bool> done{false};
  double frequency = -1.0;
  std::thread measure([&] {
    Torvex::PwMeasurement measurement;
    frequency = CTorvexHostAcquisition::TriggerWaitingFlow(&measurement);
    done = true;
  });
  ASSERT_TRUE(WaitFor([&] { return CountOf(RequestIds(*script_), Torvex::kDspTrigger) == 1; }));
  EXPECT_FALSE(WaitFor([&] { return done.load(); }, 900ms)) << "the exchange waits for the edge";
  EXPECT_NE(LogText().find("TriggerWaitingFlow: Trigger!\n"), std::string::npos);
  const auto request = script_->LastRequest();
  script_->Send(MakeReply(DspReplyId(Torvex::kDspTrigger), request[1] + 1, PwPayload(PwValues{})));
  ASSERT_TRUE(WaitFor([&] { return done.load(); }));
  measure.join();
  EXPECT_EQ(frequency, PwValues{}.frequency);
}

// A bus trigger is a command message; any other message there is a firmware error.
TEST_F(SequenceFlowTest, BusSourceWaitsForABusTriggerMessage) {
  SetString(Torvex::g_node_trigger_parms_trigger_in_source, "BUS");
  std::atomic<int> outcome{-1};
  std::thread measure([&] {
    Torvex::PwMeasurement measurement;
    try {
      CTorvexHostAcquisition::TriggerWaitingFlow(&measurement);
      outcome = 0;
    } catch (const Torvex::CAcqError& error) {
      outcome = error.m_Code;
    }
  });
  EXPECT_FALSE(WaitFor([&] { return outcome.load() != -1; }, 300ms));
  EXPECT_EQ(CountOf(RequestIds(*script_), Torvex::kDspTrigger), 0u);
  ASSERT_TRUE(Torvex::g_CommandMailBox.Send({Torvex::kPipeMsgBusTrigger, nullptr, 0, 0}));
  ASSERT_TRUE(WaitFor([&] { return outcome.load() != -1; }));
  measure.join();
  EXPECT_EQ(outcome.load(), 0);
  EXPECT_EQ(CountOf(RequestIds(*script_), Torvex::kDspTrigger), 1u);

  cyg_sem_t reply;
  cyg_semaphore_init(&reply, 0);
  ASSERT_TRUE(Torvex::g_CommandMailBox.Send({Torvex::kPipeMsgInitiate, &reply, 0, 0}));
  EXPECT_THROW(CTorvexHostAcquisition::WaitForBusTrigger(), Torvex::CAcqError);
  cyg_count32 posted = 0;
  cyg_semaphore_peek(&reply, &posted);
  EXPECT_EQ(posted, 1) << "the sender is released before the code is looked at";
  cyg_semaphore_destroy(&reply);
}

// With matching and tuning in AUTO the probe nodes follow the DSP's values; otherwise they stay.
TEST_F(SequenceFlowTest, AutoMatchingAndTuningFollowTheDsp) {
  for (const char* mode : {"FIXed", "AUTO"}) {
    SCOPED_TRACE(mode);
    SetString(Torvex::g_node_measure_parms_probe_matching_tuning_mode, mode);
    SetF64(Torvex::g_node_measure_parms_probe_matching, 9.0);
    SetF64(Torvex::g_node_measure_parms_probe_tuning, 9.0);
    Torvex::PwMeasurement measurement;
    CTorvexHostAcquisition::TriggerWaitingFlow(&measurement);
    const bool follows = std::string(mode) == "AUTO";
    Torvex::CRecursiveLockGuard tree(Torvex::g_ParameterTreeLock);
    EXPECT_EQ(Torvex::g_node_measure_parms_probe_matching->GetFloat64Attribute(Torvex::eAttrValue),
              follows ? 0.125 : 9.0);
    EXPECT_EQ(Torvex::g_node_measure_parms_probe_tuning->GetFloat64Attribute(Torvex::eAttrValue), follows ? 0.75 : 9.0);
  }
}

// The TIMer period in whole milliseconds: negative and NaN periods count as 0.
TEST(TimerPeriodTest, PeriodInMilliseconds) {
  struct Case {
    double seconds;
    double ms;
  };
  for (const Case& c :
       {Case{0.25, 250.0}, Case{0.0, 0.0}, Case{0.0009, 0.0}, Case{-3.0, 0.0},
        Case{std::numeric_limits<double>::quiet_NaN(), 0.0}, Case{40.0, 40000.0}, Case{65.6366, 65636.0}}) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(Torvex::acqflow::TimerPeriodMs(c.seconds), c.ms);
  }
}

// A TIMer wait of 0.25 s before each measurement.
TEST_F(SequenceFlowTest, TimerSourceWaitsItsPeriodFirst) {
  SetString(Torvex::g_node_trigger_parms_trigger_in_source, "TIMer");
  SetF64(Torvex::g_node_trigger_parms_trigger_in_timer, 0.25);
  const auto start = std::chrono::steady_clock::now();
  Torvex::PwMeasurement measurement;
  CTorvexHostAcquisition::TriggerWaitingFlow(&measurement);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
  EXPECT_EQ(CountOf(RequestIds(*script_), Torvex::kDspTrigger), 1u);

  // Negative and NaN periods trigger at once (a poll of the abort mailbox only).
  for (double period : {-5.0, std::numeric_limits<double>::quiet_NaN()}) {
    SetF64(Torvex::g_node_trigger_parms_trigger_in_timer, period);
    EXPECT_NO_THROW(CTorvexHostAcquisition::TriggerWaitingFlow(&measurement));
  }
  EXPECT_EQ(CountOf(RequestIds(*script_), Torvex::kDspTrigger), 3u);
}

// A period longer than the longest single wait (32.767 s) is waited in parts: 65.6366 s, which a
// 16-bit time-out would wrap to 100 ms, is still being waited for a second later, and an abort
// ends it.
TEST_F(SequenceFlowTest, LongTimerPeriodIsNotWrapped) {
  std::atomic<int> outcome{0};
  std::thread wait([&] {
    try {
      Torvex::acqflow::WaitTimerPeriod(65.6366);
      outcome = 1;
    } catch (const Torvex::CAbortException&) {
      outcome = 2;
    }
  });
  EXPECT_FALSE(WaitFor([&] { return outcome.load() != 0; }, 1s));
  ASSERT_TRUE(Torvex::g_AbortMailBox.Send({Torvex::kAbortMsgAbort, nullptr}));
  EXPECT_TRUE(WaitFor([&] { return outcome.load() != 0; }));
  wait.join();
  EXPECT_EQ(outcome.load(), 2);
}

}  // namespace
}  // namespace torvex_test
