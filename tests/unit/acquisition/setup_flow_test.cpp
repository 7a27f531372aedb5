// The acquisition set-up against a scripted DSP: the choice of the channel, the confirmation of its
// last frequency, the window conversion per probe, channel preparation and the model-1226 timing pair.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "acq_flows_support.h"
#include "acquisition/CTorvexException.h"
#include "acquisition/CTorvexHostAcquisition.h"
#include "peripherals/UnitConversion.h"

namespace torvex_test {
namespace {

using Torvex::CTorvexHostAcquisition;
using Torvex::DspReplyId;

// The code of the CAcqError `run` throws, or -1 when it throws none.
template <typename F>
int AcqErrorOf(F run) {
  try {
    run();
  } catch (const Torvex::CAcqError& error) {
    return error.m_Code;
  }
  return -1;
}

double TrackingFrequencyOf(const std::vector<std::uint32_t>& frame) { return Torvex::GetDouble(&frame[2]); }

class SetupFlowTest : public AcqFlowTest {
 protected:
  // The window in tesla that is [lowHz, highHz] for the proton ratio.
  void SetWindowHz(double lowHz, double highHz) {
    SetF64(Torvex::g_node_measure_parms_search_low, lowHz / kProtonRatio);
    SetF64(Torvex::g_node_measure_parms_search_high, highHz / kProtonRatio);
  }
};

// The first channel in list order whose last frequency lies in the window is prepared and confirmed,
// and the DSP tracks the confirmed frequency. The window is compared in each probe's own frequency:
// the probe selected before (another nucleus) has no say.
TEST_F(SetupFlowTest, FirstChannelInTheWindowOfItsOwnProbeIsConfirmedAndTracked) {
  TestProbe& other = AddProbe({1, 1}, kProtonRatio / 6.5, 1e6, 1e8);
  TestProbe& second = AddProbe({1, 2}, kProtonRatio, 1e6, 1e8);
  TestProbe& third = AddProbe({1, 3}, kProtonRatio, 1e6, 1e8);
  other.SetLastFrequency(41.2e6 / 6.5);
  second.SetLastFrequency(41.5e6);
  third.SetLastFrequency(41.0e6);
  Torvex::CTorvexPeripheral* selected = nullptr;
  ASSERT_EQ(Torvex::CTorvexPeripheral::SelectChannel("1/1", &selected), 0);
  SetWindowHz(40.0e6, 42.0e6);
  script_->SetPayload(DspReplyId(Torvex::kDspInitiateSearch), SearchPayload(41.5e6));

  const std::size_t before = script_->RequestCount();
  double frequency = -1.0;
  Torvex::CPeripheralReference peripheral = CTorvexHostAcquisition::AcquisitionSetupFlow(0.0, &frequency);
  // "other" lies in its own window too (41.2 MHz of the proton), so it is the first in list order.
  EXPECT_EQ(peripheral.Get(), &other);

  // Without it, the second channel wins over the third.
  other.SetLastFrequency(0.0);
  frequency = -1.0;
  peripheral = CTorvexHostAcquisition::AcquisitionSetupFlow(0.0, &frequency);
  EXPECT_EQ(peripheral.Get(), &second);
  EXPECT_DOUBLE_EQ(frequency, 41.5e6);

  const auto confirms = FramesOf(*script_, Torvex::kDspInitiateSearch);
  ASSERT_EQ(confirms.size(), 2u);
  EXPECT_FLOAT_EQ(Torvex::WordFloat(confirms.back()[2]), 41.5e6f);
  EXPECT_FLOAT_EQ(Torvex::WordFloat(confirms.back()[3]), 41.5e6f);
  EXPECT_EQ(confirms.back()[4], 1u) << "confirmation flag";
  const auto tracking = FramesOf(*script_, Torvex::kDspInitiateTracking);
  ASSERT_FALSE(tracking.empty());
  EXPECT_DOUBLE_EQ(TrackingFrequencyOf(tracking.back()), 41.5e6);
  const auto ids = RequestIds(*script_);
  EXPECT_EQ(std::vector<std::uint32_t>(ids.end() - 4, ids.end()),
            (std::vector<std::uint32_t>{Torvex::kDspPwMeasureParms, Torvex::kDspPwProbeConnect,
                                        Torvex::kDspInitiateSearch, Torvex::kDspInitiateTracking}));
  EXPECT_GT(ids.size(), before);
}

// A probe without a usable ratio cannot say where the window lies: an acquisition error, never the
// window in tesla taken as hertz (1 Hz would lie inside 0.5 T to 2 T).
TEST_F(SetupFlowTest, WindowThatCannotBeConvertedIsAnAcquisitionError) {
  TestProbe& probe = AddProbe({1, 1}, 0.0, 0.0, 10.0);
  probe.SetLastFrequency(1.0);
  SetF64(Torvex::g_node_measure_parms_search_low, 0.5);
  SetF64(Torvex::g_node_measure_parms_search_high, 2.0);
  double frequency = 0.0;
  std::uint16_t index = 0;
  EXPECT_EQ(AcqErrorOf([&] { CTorvexHostAcquisition::FindChannelInWindow(0.5, 2.0, &frequency, &index); }),
            Torvex::kUnitZeroQuantity);
  EXPECT_EQ(AcqErrorOf([&] { CTorvexHostAcquisition::AcquisitionSetupFlow(0.0, &frequency); }),
            Torvex::kUnitZeroQuantity);
  EXPECT_EQ(CountOf(RequestIds(*script_), Torvex::kDspInitiateSearch), 0u);
}

// The limits of the window belong to it; a channel outside gives no candidate and the set-up ends
// after PW_MEASURE_PARMS, leaving the search to the sequence.
TEST_F(SetupFlowTest, WindowLimitsAreInsideAndNoCandidateLeavesTheSearchToTheSequence) {
  TestProbe& probe = AddProbe({1, 1}, kProtonRatio, 1e6, 1e8);
  const double low = 40.0e6 / kProtonRatio;
  const double high = 42.0e6 / kProtonRatio;
  double lowHz = low;
  double highHz = high;
  ASSERT_EQ(Torvex::ConvertUnits(lowHz, Torvex::kUnitTesla, Torvex::kUnitHertz, kProtonRatio), 0);
  ASSERT_EQ(Torvex::ConvertUnits(highHz, Torvex::kUnitTesla, Torvex::kUnitHertz, kProtonRatio), 0);
  struct Case {
    double last;
    bool found;
  };
  for (const Case& c :
       {Case{lowHz, true}, Case{highHz, true}, Case{std::nextafter(highHz, 1e12), false}, Case{0.0, false}}) {
    SCOPED_TRACE(c.last);
    probe.SetLastFrequency(c.last);
    double frequency = -1.0;
    std::uint16_t index = 9;
    const Torvex::CPeripheralReference candidate =
        CTorvexHostAcquisition::FindChannelInWindow(low, high, &frequency, &index);
    EXPECT_EQ(static_cast<bool>(candidate), c.found);
    EXPECT_EQ(frequency, c.found ? c.last : 0.0);
  }

  probe.SetLastFrequency(0.0);
  SetF64(Torvex::g_node_measure_parms_search_low, low);
  SetF64(Torvex::g_node_measure_parms_search_high, high);
  const std::size_t before = script_->RequestCount();
  double frequency = -1.0;
  EXPECT_EQ(CTorvexHostAcquisition::AcquisitionSetupFlow(0.0, &frequency).Get(), nullptr);
  EXPECT_EQ(frequency, 0.0);
  const auto ids = RequestIds(*script_);
  EXPECT_EQ(std::vector<std::uint32_t>(ids.begin() + static_cast<std::ptrdiff_t>(before), ids.end()),
            std::vector<std::uint32_t>{Torvex::kDspPwMeasureParms});
}

// A refused confirmation clears the candidate's last frequency, so it is not picked again, and the
// DSP is not told to track.
TEST_F(SetupFlowTest, RefusedConfirmationForgetsTheCandidatesFrequency) {
  TestProbe& probe = AddProbe({1, 1}, kProtonRatio, 1e6, 1e8);
  probe.SetLastFrequency(41.0e6);
  SetWindowHz(40.0e6, 42.0e6);
  script_->SetPayload(DspReplyId(Torvex::kDspInitiateSearch), SearchPayload(0.0));
  double frequency = -1.0;
  EXPECT_EQ(CTorvexHostAcquisition::AcquisitionSetupFlow(0.0, &frequency).Get(), &probe);
  EXPECT_EQ(frequency, 0.0);
  EXPECT_EQ(probe.GetLastFrequency(), 0.0);
  EXPECT_EQ(CountOf(RequestIds(*script_), Torvex::kDspInitiateTracking), 0u);
}

// An expected value prepares the first channel and tracks it; in manual search mode it is ignored.
TEST_F(SetupFlowTest, ExpectedValueTracksOnTheFirstChannelUnlessTheSearchIsManual) {
  TestProbe& first = AddProbe({1, 1}, kProtonRatio, 1e6, 1e8);
  AddProbe({1, 2}, kProtonRatio, 1e6, 1e8);
  double frequency = 0.0;
  EXPECT_EQ(CTorvexHostAcquisition::AcquisitionSetupFlow(41.0e6, &frequency).Get(), &first);
  EXPECT_EQ(frequency, 41.0e6);
  auto tracking = FramesOf(*script_, Torvex::kDspInitiateTracking);
  ASSERT_EQ(tracking.size(), 1u);
  EXPECT_DOUBLE_EQ(TrackingFrequencyOf(tracking[0]), 41.0e6);
  EXPECT_EQ(CountOf(RequestIds(*script_), Torvex::kDspPwProbeConnect), 1u);

  SetString(Torvex::g_node_measure_parms_search_mode, "MANual");
  EXPECT_EQ(CTorvexHostAcquisition::AcquisitionSetupFlow(41.0e6, &frequency).Get(), &first);
  EXPECT_EQ(frequency, 0.0);
  EXPECT_EQ(FramesOf(*script_, Torvex::kDspInitiateTracking).size(), 1u);
}

// Failures of the channel list and of the preparation, each with its code.
TEST_F(SetupFlowTest, ChannelFailuresCarryTheirCodes) {
  double frequency = 0.0;
  std::uint16_t index = 0;
  EXPECT_EQ(AcqErrorOf([&] { CTorvexHostAcquisition::FindChannelInWindow(0.0, 1.0, &frequency, &index); }),
            Torvex::kAcqNoChannel);

  TestProbe& probe = AddProbe({1, 1}, kProtonRatio, 1e6, 1e8);
  Torvex::g_AcqChannelList.push_back(MakeChannel({1, 4}));  // no peripheral there
  EXPECT_EQ(AcqErrorOf([&] { CTorvexHostAcquisition::FindChannelInWindow(0.0, 1.0, &frequency, &index); }),
            Torvex::kAcqInvalidChannel);
  probe.SetLastFrequency(41.0e6);  // found before the missing channel is reached
  EXPECT_EQ(CTorvexHostAcquisition::FindChannelInWindow(0.9, 1.0, &frequency, &index).Get(), &probe);

  EXPECT_EQ(AcqErrorOf([] { CTorvexHostAcquisition::PrepareChannel(1); }), Torvex::kAcqInvalidChannel);
  EXPECT_EQ(AcqErrorOf([] { CTorvexHostAcquisition::PrepareChannel(2); }), Torvex::kAcqInvalidChannel);
  probe.activateResult = 5;
  EXPECT_EQ(AcqErrorOf([] { CTorvexHostAcquisition::PrepareChannel(0); }), Torvex::kAcqNoProbe);
  probe.activateResult = 0;
  EXPECT_EQ(AcqErrorOf([] { CTorvexHostAcquisition::PrepareChannel(0); }), -1);
}

// A probe of model 1226 gets its timing pair before PW_PROBE_CONNECT; a refused pair is an error.
TEST_F(SetupFlowTest, Model1226GetsItsTimingPair) {
  TestProbe& probe = AddProbe({1, 1}, kProtonRatio, 1e6, 1e8, 1226);
  probe.information.SampleLength = 0.003;
  SetF64(Torvex::g_node_system_acquisition_short_duration, 0.001);
  SetF64(Torvex::g_node_measure_parms_sample_offset, 0.0002);
  SetF64(Torvex::g_node_measure_parms_sample_length, 0.002);
  SetString(Torvex::g_node_measure_parms_sample_mode, "FIXed");
  EXPECT_EQ(CTorvexHostAcquisition::PrepareChannel(0).Get(), &probe);
  SetString(Torvex::g_node_measure_parms_sample_mode, "AUTO");
  EXPECT_EQ(CTorvexHostAcquisition::PrepareChannel(0).Get(), &probe);
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> expected = {{1320, 2420}, {1320, 3520}};
  EXPECT_EQ(probe.pairs, expected);
  EXPECT_EQ(CountOf(RequestIds(*script_), Torvex::kDspPwProbeConnect), 2u);

  probe.pairResult = 11;
  EXPECT_EQ(AcqErrorOf([] { CTorvexHostAcquisition::PrepareChannel(0); }), 11);
  EXPECT_EQ(CountOf(RequestIds(*script_), Torvex::kDspPwProbeConnect), 2u);

  // Durations the count cannot hold are held at its ends.
  probe.pairResult = 0;
  SetF64(Torvex::g_node_measure_parms_sample_offset, -1.0);
  SetF64(Torvex::g_node_system_acquisition_short_duration, 1e9);
  probe.information.SampleLength = std::nan("");
  EXPECT_EQ(CTorvexHostAcquisition::PrepareChannel(0).Get(), &probe);
  EXPECT_EQ(probe.pairs.back(), (std::pair<std::uint32_t, std::uint32_t>{0xFFFFFFFFu, 0u}));
}

// The DSP may keep its busy bit set for a while: the confirmation waits for the reply.
TEST_F(SetupFlowTest, ConfirmationWaitsWhileTheDspIsBusy) {
  AddProbe({1, 1}, kProtonRatio, 1e6, 1e8);
  ASSERT_NO_THROW(CTorvexHostAcquisition::PrepareChannel(0));
  script_->SetSilent(true);
  board_->dsp().WriteWord(Torvex::kDspStatusBlockAddress + 8, 0x10);
  double confirmed = -1.0;
  std::atomic<bool> done{false};
  std::thread confirm([&] {
    confirmed = CTorvexHostAcquisition::ConfirmFrequency(42.0e6);
    done = true;
  });
  ASSERT_TRUE(WaitFor([&] { return CountOf(RequestIds(*script_), Torvex::kDspInitiateSearch) == 1; }));
  // Busy for at least one status reading: the flow is still waiting after its first 500 ms.
  EXPECT_FALSE(WaitFor([&] { return done.load(); }, std::chrono::milliseconds(700)));
  const auto request = script_->LastRequest();
  script_->Send(MakeReply(DspReplyId(Torvex::kDspInitiateSearch), request[1] + 1, SearchPayload(42.0e6)));
  ASSERT_TRUE(WaitFor([&] { return done.load(); }));
  confirm.join();
  EXPECT_EQ(confirmed, 42.0e6);
  EXPECT_FALSE(Torvex::CTorvexDSP::HeldByCaller());
}

// When the DSP clears its busy bit without answering, one more 500 ms wait and then a time-out.
TEST_F(SetupFlowTest, ConfirmationWithoutReplyAfterTheBusyBitTimesOut) {
  AddProbe({1, 1}, kProtonRatio, 1e6, 1e8);
  ASSERT_NO_THROW(CTorvexHostAcquisition::PrepareChannel(0));
  script_->SetSilent(true);
  try {
    CTorvexHostAcquisition::ConfirmFrequency(42.0e6);
    FAIL() << "no time-out";
  } catch (const Torvex::CAcqError& error) {
    EXPECT_EQ(error.m_Code, Torvex::kAcqTimeout);
    EXPECT_NE(std::string(error.what()).find("HostAcq encountered an error at: "), std::string::npos);
  }
}

}  // namespace
}  // namespace torvex_test
