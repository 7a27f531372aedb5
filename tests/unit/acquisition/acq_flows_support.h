// What the tests of the measurement flows share: probes the test configures, published in the
// topology; the acquisition's devices open; a scripted DSP booted, whose activity counter runs until
// the test stops it; the results store allocated and empty; and the trigger flow on a thread of its
// own for the tests that need the whole server loop.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "acquisition/CResultsStore.h"
#include "acquisition/CTorvexException.h"
#include "acquisition/CTorvexHostAcquisition.h"
#include "acquisition/DspProtocol.h"
#include "dsp_link_support.h"
#include "peripherals/CTorvexPeripheral.h"
#include "peripherals/CTorvexPwMeasuringPeripheral.h"
#include "status/CScpiStatus.h"
#include "status/ScpiStatusBitRows.h"
#include "support/wait_for.h"
#include "core/CRecursiveMutex.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace torvex_test {

inline constexpr double kProtonRatio = 42.577478518e6;  // Hz per tesla

// A measuring peripheral whose ratio, range, model and answers the test sets.
class TestProbe : public Torvex::CTorvexPwMeasuringPeripheral {
 public:
  TestProbe(const Torvex::CTorvexChannel& channel, double ratio, double minHz, double maxHz, std::uint16_t model)
      : CTorvexPwMeasuringPeripheral(channel), ratio(ratio), minHz(minHz), maxHz(maxHz), model(model) {
    information.MinFreq = minHz;
    information.MaxFreq = maxHz;
  }
  ~TestProbe() override {
    if (destroyed != nullptr) *destroyed = true;
  }
  int GetType() override { return 2; }
  std::uint16_t GetModel() override { return model; }
  int GetSerialNumber() override { return 1; }
  std::string GetDesignation() override { return "test"; }
  bool IsInitialized() override { return true; }
  int Initialize() override { return 0; }
  std::uint8_t GetChildCount() override { return 0; }
  int Activate() override { return activateResult; }
  double GetMinFrequency() override { return minHz; }
  double GetMaxFrequency() override { return maxHz; }
  double GetGyromagneticRatio() override { return ratio; }
  int ReadHallField(int*, int*, int*, unsigned int*) override { return 48; }
  const Torvex::PwPhysicalInformation* GetPhysicalInformation() override { return &information; }
  int WriteParameterPair(std::uint32_t first, std::uint32_t second) override {
    pairs.emplace_back(first, second);
    return pairResult;
  }

  double ratio;
  double minHz;
  double maxHz;
  std::uint16_t model;
  int activateResult = 0;
  int pairResult = 0;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
  Torvex::PwPhysicalInformation information{};
  std::atomic<bool>* destroyed = nullptr;  // set true when the object is destroyed (null: nothing)
};

inline Torvex::CTorvexChannel MakeChannel(std::initializer_list<std::uint8_t> levels) {
  Torvex::CTorvexChannel channel;
  for (std::uint8_t level : levels) channel.AppendLevel(level);
  return channel;
}

inline std::vector<std::uint32_t> DoubleWords(double value) {
  std::uint32_t words[2];
  Torvex::PutDouble(words, value);
  return {words[0], words[1]};
}

// Payload (from the status word on) of RETURN_SEARCH_RESULT.
inline std::vector<std::uint32_t> SearchPayload(double found, std::uint32_t status = 0) {
  const auto f = DoubleWords(found);
  return {status, 0, f[0], f[1]};
}

struct PwValues {
  double flux = 1.0;
  double frequency = 42.0e6;
  float sigma = 0.5f;
  float uniformity = 0.25f;
  float matching = 0.125f;
  float tuning = 0.75f;
  std::uint64_t timestamp = 7;
};

// Payload (from the status word on) of RETURN_PW_MEASUREMENT.
inline std::vector<std::uint32_t> PwPayload(const PwValues& v) {
  const auto flux = DoubleWords(v.flux);
  const auto frequency = DoubleWords(v.frequency);
  return {0,
          0,
          flux[0],
          flux[1],
          frequency[0],
          frequency[1],
          static_cast<std::uint32_t>(v.timestamp),
          static_cast<std::uint32_t>(v.timestamp >> 32),
          Torvex::FloatWord(v.sigma),
          0,
          Torvex::FloatWord(v.uniformity),
          Torvex::FloatWord(v.matching),
          Torvex::FloatWord(v.tuning)};
}

inline void SetString(Torvex::CParameterNode* node, const std::string& value) {
  ASSERT_NE(node, nullptr);
  node->SetStringAttribute(Torvex::eAttrValue, value);
}
inline void SetF64(Torvex::CParameterNode* node, double value) {
  ASSERT_NE(node, nullptr);
  node->SetFloat64Attribute(Torvex::eAttrValue, value);
}
inline void SetI32(Torvex::CParameterNode* node, std::int32_t value) {
  ASSERT_NE(node, nullptr);
  node->SetInt32Attribute(Torvex::eAttrValue, value);
}
inline void SetBool(Torvex::CParameterNode* node, bool value) {
  ASSERT_NE(node, nullptr);
  node->SetBooleanAttribute(Torvex::eAttrValue, value);
}

// The condition bits of a register of the status unit's own object.
inline std::uint16_t Condition(std::uint32_t reg) {
  std::uint16_t value = 0;
  Torvex::CScpiStatus::ModuleObject().GetCondition(reg, value);
  return value;
}

// The event bits of a register of the status unit's own object, read and cleared (the pulse rows
// show only there).
inline std::uint16_t TakeEvents(std::uint32_t reg) {
  std::uint16_t value = 0;
  Torvex::CScpiStatus::ModuleObject().GetEvent(reg, value);
  return value;
}

// The ids of the requests the DSP received, in order.
inline std::vector<std::uint32_t> RequestIds(ScriptedDsp& script) {
  std::vector<std::uint32_t> ids;
  for (const auto& frame : script.Requests()) ids.push_back(frame.empty() ? 0 : frame[0]);
  return ids;
}

inline std::size_t CountOf(const std::vector<std::uint32_t>& ids, std::uint32_t id) {
  std::size_t n = 0;
  for (std::uint32_t x : ids) n += x == id ? 1 : 0;
  return n;
}

// The frames of one request id.
inline std::vector<std::vector<std::uint32_t>> FramesOf(ScriptedDsp& script, std::uint32_t id) {
  std::vector<std::vector<std::uint32_t>> frames;
  for (const auto& frame : script.Requests()) {
    if (!frame.empty() && frame[0] == id) frames.push_back(frame);
  }
  return frames;
}

class AcqFlowTest : public DspLinkTest {
 protected:
  static constexpr std::uint32_t kCapacity = 4;

  void SetUp() override {
    DspLinkTest::SetUp();
    if (HasFatalFailure()) return;
    Boot();
    ASSERT_TRUE(Torvex::g_DspIntr.Open());
    ASSERT_TRUE(Torvex::g_CommandMailBox.Open());
    ASSERT_TRUE(Torvex::g_AbortMailBox.Open());
    Torvex::CTorvexHostAcquisition::DrainMailboxes();
    Torvex::g_ResultsStore.AllocateArrays(kCapacity);
    Torvex::g_ResultsStore.Clear();
    capacity_ = Torvex::g_ResultsStore.Buffers().front()->capacity;

    // A DSP whose activity counter runs while `running_` holds.
    counter_ = 1;
    running_ = true;
    board_->dsp().SetLiveWord(Torvex::kDspStatusBlockAddress,
                              [this] { return running_.load() ? counter_.fetch_add(1) + 1 : counter_.load(); });
    for (std::uint32_t w = 1; w < 4; ++w) board_->dsp().WriteWord(Torvex::kDspStatusBlockAddress + 4 * w, 0);

    Torvex::g_TriggerActive = false;
    Torvex::g_LastAcqError = 0;
    Torvex::g_InitiatingClientStatus = nullptr;
    Torvex::g_ExpectedFrequencyHz = 0.0;
    Torvex::g_AcqChannelList.clear();
    for (std::uint32_t row : {Torvex::kStatusRowMeasurementStored, Torvex::kStatusRowSequenceSucceeded,
                              Torvex::kStatusRowMeasurementFailed, Torvex::kStatusRowSearchManualOrUnlocked}) {
      Torvex::CScpiStatus::SetDeviceBitRow(row, false, true);
    }
    TakeEvents(Torvex::kOperationRegister);
    SetString(Torvex::g_node_trigger_parms_trigger_in_source, "IMMediate");
    SetI32(Torvex::g_node_trigger_parms_trigger_in_count, 1);
    SetBool(Torvex::g_node_trigger_parms_trigger_in_continuous, false);
    SetString(Torvex::g_node_measure_parms_search_mode, "AUTO");
    SetString(Torvex::g_node_measure_parms_probe_matching_tuning_mode, "FIXed");
    script_->SetPayload(Torvex::DspReplyId(Torvex::kDspTrigger), PwPayload(PwValues{}));
  }

  void TearDown() override {
    StopTriggerFlow();
    board_->dsp().SetLiveWord(Torvex::kDspStatusBlockAddress, nullptr);
    if (Torvex::g_node_current_probe_object != nullptr) {
      Torvex::g_node_current_probe_object->SetPointerAttribute(Torvex::eAttrValue, nullptr);
    }
    if (Torvex::g_node_peripherals != nullptr)
      Torvex::CTorvexPeripheral::DeleteTopologyNodes(Torvex::g_node_peripherals, true);
    Torvex::g_AcqChannelList.clear();
    Torvex::g_InitiatingClientStatus = nullptr;
    Torvex::CTorvexHostAcquisition::DrainMailboxes();
    Torvex::g_ResultsStore.Clear();
    Torvex::g_TriggerActive = false;
    DspLinkTest::TearDown();
  }

  // A probe at `levels`, published in the topology and appended to the acquisition channel list.
  // The topology owns it (its teardown deletes it).
  TestProbe& AddProbe(std::initializer_list<std::uint8_t> levels, double ratio, double minHz, double maxHz,
                      std::uint16_t model = 0, bool listed = true) {
    auto* probe = new TestProbe(MakeChannel(levels), ratio, minHz, maxHz, model);
    Torvex::CTorvexPeripheral::PublishPeripheral(probe);
    if (listed) Torvex::g_AcqChannelList.push_back(probe->GetChannel());
    return *probe;
  }

  // The trigger flow on its own thread; it ends with the exception that leaves it.
  void StartTriggerFlow() {
    flowDone_ = false;
    flowOutcome_ = 0;
    flow_ = std::thread([this] {
      try {
        Torvex::CTorvexHostAcquisition::TriggerFlow();
      } catch (const Torvex::CFatalAcqException&) {
        flowOutcome_ = 1;
      } catch (...) {
        flowOutcome_ = 2;
      }
      flowDone_ = true;
    });
  }
  // Stops the DSP's counter, which the idle flow takes for a stopped DSP (a fatal failure), and
  // joins the flow.
  void StopTriggerFlow() {
    if (!flow_.joinable()) return;
    running_ = false;
    EXPECT_TRUE(WaitFor([this] { return flowDone_.load(); }, std::chrono::seconds(10)));
    if (flowDone_) flow_.join();
    else flow_.detach();
  }

  std::uint32_t capacity_ = 0;
  std::atomic<std::uint32_t> counter_{1};
  std::atomic<bool> running_{true};
  std::thread flow_;
  std::atomic<bool> flowDone_{false};
  std::atomic<int> flowOutcome_{0};
};

}  // namespace torvex_test
