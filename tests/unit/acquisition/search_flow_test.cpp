// The search over the acquisition channel list, the DSP's search with its progress, and the
// subscriber of the search mode and the reference-clock nodes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "acq_flows_support.h"
#include "acquisition/CTorvexException.h"
#include "acquisition/CTorvexHostAcquisition.h"
#include "peripherals/UnitConversion.h"

namespace torvex_test {
namespace {

using Torvex::CTorvexHostAcquisition;
using Torvex::DspReplyId;

std::uint16_t Progress() {
  cyg_mutex_lock(&Torvex::g_SearchProgressMutex);
  const std::uint16_t value = Torvex::g_SearchProgress;
  cyg_mutex_unlock(&Torvex::g_SearchProgressMutex);
  return value;
}

class SearchFlowTest : public AcqFlowTest {};

// Each channel is searched in the window of its own probe, narrowed to the probe's range; a channel
// whose range misses the window is not searched; the search stops at the first resonance and leaves
// the peripheral on that channel.
TEST_F(SearchFlowTest, ChannelsAreSearchedInTheirOwnRangeUntilOneResonates) {
  TestProbe& outside = AddProbe({1, 1}, kProtonRatio, 55.0e6, 60.0e6);
  TestProbe& second = AddProbe({1, 2}, kProtonRatio / 2, 21.0e6, 30.0e6);
  TestProbe& third = AddProbe({1, 3}, kProtonRatio, 1e6, 1e8);
  script_->SetPayload(DspReplyId(Torvex::kDspInitiateSearch), SearchPayload(23.0e6));

  Torvex::CPeripheralReference peripheral;
  const double found = CTorvexHostAcquisition::SearchFlow(peripheral, 40.0e6 / kProtonRatio, 50.0e6 / kProtonRatio);
  EXPECT_EQ(found, 23.0e6);
  EXPECT_EQ(peripheral.Get(), &second);
  EXPECT_EQ(CountOf(RequestIds(*script_), Torvex::kDspPwProbeConnect), 2u) << "the third channel is untouched";
  const auto searches = FramesOf(*script_, Torvex::kDspInitiateSearch);
  ASSERT_EQ(searches.size(), 1u);
  // 40 to 50 MHz of the proton is 20 to 25 MHz for the second probe; its range starts at 21 MHz.
  EXPECT_FLOAT_EQ(Torvex::WordFloat(searches[0][2]), 21.0e6f);
  EXPECT_FLOAT_EQ(Torvex::WordFloat(searches[0][3]), 25.0e6f);
  EXPECT_EQ(searches[0][4], 0u) << "a search, not a confirmation";
  const std::string log = LogText();
  EXPECT_NE(log.find("CTorvexHostAcquisition::SearchFlow: Found f = 0.000000\n"), std::string::npos);
  EXPECT_NE(log.find("CTorvexHostAcquisition::SearchFlow: Found f = 23000000.000000\n"), std::string::npos);
  EXPECT_EQ(Progress(), 100);
  (void)outside;
  (void)third;
}

// A peripheral already on the first channel is not prepared again; no resonance anywhere gives 0.
TEST_F(SearchFlowTest, NoResonanceGivesZeroAndKeepsThePreparedChannel) {
  AddProbe({1, 1}, kProtonRatio, 1e6, 1e8);
  TestProbe& last = AddProbe({1, 2}, kProtonRatio, 1e6, 1e8);
  Torvex::CPeripheralReference peripheral = CTorvexHostAcquisition::PrepareChannel(0);
  script_->SetPayload(DspReplyId(Torvex::kDspInitiateSearch), SearchPayload(0.0));
  EXPECT_EQ(CTorvexHostAcquisition::SearchFlow(peripheral, 0.9, 1.1), 0.0);
  EXPECT_EQ(peripheral.Get(), &last);
  EXPECT_EQ(CountOf(RequestIds(*script_), Torvex::kDspPwProbeConnect), 2u);
  EXPECT_EQ(CountOf(RequestIds(*script_), Torvex::kDspInitiateSearch), 2u);
}

// The window conversion uses each channel's probe; one that cannot convert is an acquisition error.
TEST_F(SearchFlowTest, ProbeWithoutUsableRatioEndsTheSearchWithAnError) {
  AddProbe({1, 1}, std::numeric_limits<double>::infinity(), 1e6, 1e8);
  Torvex::CPeripheralReference peripheral;
  try {
    CTorvexHostAcquisition::SearchFlow(peripheral, 0.9, 1.1);
    FAIL() << "no error";
  } catch (const Torvex::CAcqError& error) {
    EXPECT_EQ(error.m_Code, Torvex::kUnitZeroQuantity);
  }
  EXPECT_EQ(CountOf(RequestIds(*script_), Torvex::kDspInitiateSearch), 0u);
}

// While the DSP searches, its progress word is published; the reply makes it 100.
TEST_F(SearchFlowTest, ProgressFollowsTheDspUntilTheReply) {
  AddProbe({1, 1}, kProtonRatio, 1e6, 1e8);
  ASSERT_NO_THROW(CTorvexHostAcquisition::PrepareChannel(0));
  cyg_mutex_lock(&Torvex::g_SearchProgressMutex);
  Torvex::g_SearchProgress = 0;
  cyg_mutex_unlock(&Torvex::g_SearchProgressMutex);
  script_->SetSilent(true);
  board_->dsp().WriteWord(Torvex::kDspStatusBlockAddress + 4, 0xABCD0025);  // 37 percent
  std::atomic<bool> done{false};
  double found = -1.0;
  std::thread search([&] {
    found = CTorvexHostAcquisition::RunDspSearch(41.0e6, 43.0e6);
    done = true;
  });
  EXPECT_TRUE(WaitFor([] { return Progress() == 37; }));
  const auto request = script_->LastRequest();
  script_->Send(MakeReply(DspReplyId(Torvex::kDspInitiateSearch), request[1] + 1, SearchPayload(42.5e6)));
  ASSERT_TRUE(WaitFor([&] { return done.load(); }));
  search.join();
  EXPECT_EQ(found, 42.5e6);
  EXPECT_EQ(Progress(), 100);
  EXPECT_FALSE(Torvex::CTorvexDSP::HeldByCaller());
}

// A DSP whose counter stands still during the search has stopped: a located time-out.
TEST_F(SearchFlowTest, StoppedCounterDuringTheSearchIsATimeOut) {
  script_->SetSilent(true);
  running_ = false;
  const auto start = std::chrono::steady_clock::now();
  try {
    CTorvexHostAcquisition::RunDspSearch(41.0e6, 43.0e6);
    FAIL() << "no time-out";
  } catch (const Torvex::CAcqError& error) {
    EXPECT_EQ(error.m_Code, Torvex::kAcqTimeout);
    EXPECT_NE(std::string(error.what()).find(" at: "), std::string::npos);
  }
  // Two readings are needed before the counters can be compared: three waits of 100 ms.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

// Row 40: the search is manual, or an external reference is detected but not locked.
TEST_F(SearchFlowTest, SearchManualOrUnlockedReferenceCondition) {
  struct Case {
    const char* mode;
    bool detected;
    bool locked;
    bool condition;
  };
  const Case cases[] = {{"MANual", false, false, true}, {"MANual", true, true, true}, {"AUTO", false, false, false},
                        {"AUTO", true, false, true},    {"AUTO", true, true, false},  {"AUTO", false, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + (c.detected ? " detected" : "") + (c.locked ? " locked" : ""));
    Torvex::CScpiStatus::SetDeviceBitRow(Torvex::kStatusRowSearchManualOrUnlocked, !c.condition, true);
    SetString(Torvex::g_node_measure_parms_search_mode, c.mode);
    SetBool(Torvex::g_node_ref_clock_external_detected, c.detected);
    SetBool(Torvex::g_node_ref_clock_external_locked, c.locked);
    CTorvexHostAcquisition::OnSearchOrReferenceChanged(Torvex::g_node_measure_parms_search_mode, Torvex::eAttrValue,
                                                       nullptr);
    EXPECT_EQ((Condition(Torvex::kQuestionableRegister) & 0x0800) != 0, c.condition);
    // Another attribute than the value changes nothing.
    CTorvexHostAcquisition::OnSearchOrReferenceChanged(Torvex::g_node_measure_parms_search_mode, 1, nullptr);
    EXPECT_EQ((Condition(Torvex::kQuestionableRegister) & 0x0800) != 0, c.condition);
  }
}

}  // namespace
}  // namespace torvex_test
