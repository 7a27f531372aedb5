// The acquisition against the board's DSP program model, on a fast tick: the acquisition thread boots
// the model from the read-only file system, and the tests measure the world's field through the public
// operations and the result getters, as the SCPI layer does.
//
// One acquisition thread serves the whole program (it starts once per process), so every test leaves
// the world, the faults and the trigger settings as it found them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/CIntermediateResults.h"
#include "acquisition/CResultsStore.h"
#include "acquisition/CTorvexHostAcquisition.h"
#include "core/CLogger.h"
#include "peripherals/CTorvexPeripheral.h"
#include "peripherals/UnitConversion.h"
#include "platform/io.h"
#include "platform/kernel.h"
#include "sim/board.h"
#include "support/process_board.h"
#include "support/wait_for.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "tree/ParameterTreeXml.h"

namespace torvex_test {
namespace {

using Torvex::CTorvexHostAcquisition;
using namespace std::chrono_literals;

// Five kernel ticks to the board's 10 ms tick: the firmware's time-outs and the model's search run
// five times faster than on the board.
constexpr std::uint32_t kTickUs = 2000;
constexpr double kField = 1.0;  // tesla, inside the proton probe's range
constexpr double kTolerance = 1e-6;

// The board, the factory tree, a proton probe on the connector, the peripherals and the acquisition
// started as main starts them; built once, on first use.
struct ModelWorld {
  sim::Board* board = nullptr;
  std::vector<Torvex::CTorvexChannel> channels;
  bool dspStarted = false;
  bool versionAccepted = false;
  bool checksPassed = false;
};

ModelWorld& World() {
  static ModelWorld* world = [] {
    auto* w = new ModelWorld;
    // The start-up at the instrument's tick, as on the board; kTickUs once the acquisition runs.
    platform::kernel::SetTickMicroseconds(10000);
    w->board = &ProcessBoard("acqmodel");
    const std::filesystem::path romfs = std::filesystem::path(platform::BoardRoot()) / "romfs";
    std::filesystem::create_directories(romfs);
    std::filesystem::copy(TORVEX_ROMFS_DIR, romfs,
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
    if (!platform::IsMounted("/romfs")) platform::mount("", "/romfs", "romfs");
    if (Torvex::LoadTreeFromXml("/romfs/factory.xml", &Torvex::g_ParameterTreeRoot, nullptr) != 0 ||
        Torvex::BindParameterNodes(Torvex::g_ParameterTreeRoot) != 0) {
      return w;
    }
    w->board->peripherals().SetField(0.0, 0.0, kField);
    std::string error;
    if (!w->board->peripherals().Plug("1", "probe", &error)) return w;
    Torvex::CTorvexPeripheral::InitCTorvexPeripheral();
    Torvex::CTorvexChannel connector;
    connector.AppendLevel(1);
    w->channels.push_back(connector);
    Torvex::StartAcquisitionModule();
    w->dspStarted = Torvex::WaitForDspStarted(10000, &w->versionAccepted, &w->checksPassed);
    Torvex::WaitForAcqStarted(500);
    platform::kernel::SetTickMicroseconds(kTickUs);
    return w;
  }();
  return *world;
}

// Ends the acquisition thread before the program's static objects go away.
class StopAcquisitionAtExit : public ::testing::Environment {
 public:
  void TearDown() override { Torvex::StopAcquisitionModule(); }
};
const ::testing::Environment* const kStopAtExit = ::testing::AddGlobalTestEnvironment(new StopAcquisitionAtExit);

void SetString(Torvex::CParameterNode* node, const std::string& value) {
  ASSERT_NE(node, nullptr);
  node->SetStringAttribute(Torvex::eAttrValue, value);
}

std::string StringOf(Torvex::CParameterNode* node) {
  return node != nullptr ? node->GetStringAttribute(Torvex::eAttrValue) : std::string();
}

class AcquisitionModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    world_ = &World();
    ASSERT_TRUE(world_->dspStarted) << LogTail();
    ASSERT_TRUE(world_->versionAccepted && world_->checksPassed);
    ASSERT_TRUE(WaitFor([] { return Torvex::g_AcqServing.load(); })) << LogTail();
    program().ClearFaults();
    world_->board->peripherals().SetField(0.0, 0.0, kField);
    SetString(Torvex::g_node_trigger_parms_trigger_in_source, "IMMediate");
    Torvex::g_node_trigger_parms_trigger_in_count->SetInt32Attribute(Torvex::eAttrValue, 1);
    Torvex::g_node_trigger_parms_trigger_in_continuous->SetBooleanAttribute(Torvex::eAttrValue, false);
    Torvex::g_node_trigger_parms_trigger_in_timer->SetFloat64Attribute(Torvex::eAttrValue, 0.01);
    SetString(Torvex::g_node_measure_parms_search_mode, "AUTO");
    SetString(Torvex::g_node_units_parms_selected, "T");
  }

  void TearDown() override {
    CTorvexHostAcquisition::ReleaseResults();
    Torvex::g_node_trigger_parms_trigger_in_continuous->SetBooleanAttribute(Torvex::eAttrValue, false);
    if (Torvex::g_TriggerActive.load()) CTorvexHostAcquisition::AbortTrigger(true);
    EXPECT_TRUE(WaitFor([] { return !Torvex::g_TriggerActive.load(); })) << LogTail();
    program().ClearFaults();
    world_->board->peripherals().SetField(0.0, 0.0, kField);
  }

  sim::DspProgram& program() { return world_->board->dsp_program(); }

  static std::string LogTail() {
    char* copy = Torvex::g_Logger.CopyBuffer();
    std::string text = copy != nullptr ? copy : "";
    delete[] copy;
    return text;
  }

  int Initiate() { return CTorvexHostAcquisition::InitiateTrigger(nullptr, &world_->channels, 0.0); }

  // One program message that reads the first flux (waiting while the measurement runs).
  int ReadFlux(double* flux, std::uint32_t index = 0) {
    const int code = CTorvexHostAcquisition::GetFlux(index, flux);
    CTorvexHostAcquisition::ReleaseResults();
    return code;
  }

  // Initiates and reads the result of that measurement.
  double MeasureOnce() {
    EXPECT_EQ(Initiate(), 0) << LogTail();
    double flux = NAN;
    EXPECT_EQ(ReadFlux(&flux), 0) << LogTail();
    return flux;
  }

  ModelWorld* world_ = nullptr;
};

TEST_F(AcquisitionModelTest, InitiateThenFluxIsTheWorldsField) {
  const double flux = MeasureOnce();
  EXPECT_NEAR(flux, kField, kTolerance);
  std::int32_t unit = -1;
  ASSERT_EQ(CTorvexHostAcquisition::GetFluxUnit(0, &unit), 0);
  EXPECT_EQ(unit, static_cast<std::int32_t>(Torvex::FindUnit("T")));
  Torvex::CTorvexChannel channel;
  ASSERT_EQ(CTorvexHostAcquisition::GetChannel(0, &channel), 0);
  EXPECT_EQ(channel, world_->channels[0]);
  CTorvexHostAcquisition::ReleaseResults();
  // The trigger flow ends the measurement just after it published the result.
  EXPECT_TRUE(WaitFor([] { return !Torvex::g_TriggerActive.load(); }));

  // The intermediate results of that measurement come from the same DSP.
  double rf = 0;
  ASSERT_EQ(CTorvexHostAcquisition::GetRfFrequency(&rf), 0) << LogTail();
  EXPECT_NEAR(rf, kField * 42.577478518e6, 50.0);
  float* signal = nullptr;
  EXPECT_EQ(CTorvexHostAcquisition::GetNmrSignal(&signal, 1), 0);
  Torvex::g_IntermediateResults.Invalidate();
  Torvex::g_IntermediateResults.Release();
}

TEST_F(AcquisitionModelTest, SeveralMeasurementsOfOneSequenceAreAllStored) {
  const std::uint32_t capacity = Torvex::g_ResultsStore.Buffers().front()->capacity;
  ASSERT_GE(capacity, 3u);
  Torvex::g_node_trigger_parms_trigger_in_count->SetInt32Attribute(Torvex::eAttrValue, 3);
  ASSERT_EQ(Initiate(), 0);
  for (std::uint32_t i = 0; i < 3; ++i) {
    double flux = NAN;
    ASSERT_EQ(CTorvexHostAcquisition::GetFlux(i, &flux), 0) << i;
    EXPECT_NEAR(flux, kField, kTolerance) << i;
  }
  double beyond = 0;
  EXPECT_EQ(CTorvexHostAcquisition::GetFlux(3, &beyond), Torvex::kAcqNoData);
  std::uint64_t t0 = 0, t2 = 0;
  ASSERT_EQ(CTorvexHostAcquisition::GetTimestamp(0, &t0), 0);
  ASSERT_EQ(CTorvexHostAcquisition::GetTimestamp(2, &t2), 0);
  EXPECT_GT(t2, t0);
  CTorvexHostAcquisition::ReleaseResults();
}

TEST_F(AcquisitionModelTest, ContinuousModeSearchesAgainAfterTheFieldJumps) {
  Torvex::g_node_trigger_parms_trigger_in_continuous->SetBooleanAttribute(Torvex::eAttrValue, true);
  ASSERT_EQ(Initiate(), 0);
  double flux = NAN;
  ASSERT_EQ(ReadFlux(&flux), 0) << LogTail();
  EXPECT_NEAR(flux, kField, kTolerance);

  // Far outside any tracking window: the measurement loses the resonance and the flow searches again.
  constexpr double kJumped = 1.5;
  world_->board->peripherals().SetField(0.0, 0.0, kJumped);
  const bool found = WaitFor(
      [&] {
        double f = NAN;
        return ReadFlux(&f) == 0 && std::fabs(f - kJumped) < kTolerance;
      },
      20s);
  EXPECT_TRUE(found) << LogTail();
  EXPECT_EQ(CTorvexHostAcquisition::AbortTrigger(true), 0);
  // The new frequency was found by a search (1.5 T is 63.87 MHz for protons).
  EXPECT_NE(LogTail().find("SearchFlow: Found f = 6386"), std::string::npos) << LogTail();
  EXPECT_FALSE(Torvex::g_node_trigger_parms_trigger_in_continuous->GetBooleanAttribute(Torvex::eAttrValue));
}

// A reader that waits for the result of a measurement that cannot end (its trigger never comes).
class BlockedReader {
 public:
  BlockedReader()
      : thread_([this] {
          double flux = 0;
          code_ = CTorvexHostAcquisition::GetFlux(0, &flux);
          CTorvexHostAcquisition::ReleaseResults();
          done_ = true;
        }) {}
  ~BlockedReader() {
    if (thread_.joinable()) thread_.join();
  }
  bool Done() const { return done_.load(); }
  int Code() {
    thread_.join();
    return code_;
  }

 private:
  std::atomic<bool> done_{false};
  int code_ = -1;
  std::thread thread_;
};

TEST_F(AcquisitionModelTest, AbortReleasesABlockedReader) {
  SetString(Torvex::g_node_trigger_parms_trigger_in_source, "BUS");
  ASSERT_EQ(Initiate(), 0);
  ASSERT_TRUE(Torvex::g_TriggerActive.load());
  BlockedReader reader;
  ASSERT_TRUE(WaitFor([] { return Torvex::g_ResultsStore.Waiting(Torvex::CResultsStore::kReaderSlot); }));
  EXPECT_EQ(CTorvexHostAcquisition::AbortTrigger(true), 0);
  EXPECT_EQ(reader.Code(), Torvex::kAcqNoData);
  EXPECT_TRUE(WaitFor([] { return !Torvex::g_TriggerActive.load(); }));
}

TEST_F(AcquisitionModelTest, DeviceClearReleasesABlockedReaderWhileTheMeasurementGoesOn) {
  SetString(Torvex::g_node_trigger_parms_trigger_in_source, "BUS");
  ASSERT_EQ(Initiate(), 0);
  BlockedReader reader;
  ASSERT_TRUE(WaitFor([] { return Torvex::g_ResultsStore.Waiting(Torvex::CResultsStore::kReaderSlot); }));
  EXPECT_EQ(CTorvexHostAcquisition::Clear(), 0);
  EXPECT_EQ(reader.Code(), Torvex::kAcqNoData);
  // The measurement still waits for its trigger; the bus trigger completes it.
  EXPECT_TRUE(Torvex::g_TriggerActive.load());
  EXPECT_EQ(CTorvexHostAcquisition::SendBusTrigger(), 0);
  double flux = NAN;
  EXPECT_EQ(ReadFlux(&flux), 0) << LogTail();
  EXPECT_NEAR(flux, kField, kTolerance);
}

struct TriggerCase {
  const char* source;
  bool bus;  // the test sends the bus trigger
};
void PrintTo(const TriggerCase& c, std::ostream* os) { *os << c.source; }

class TriggerSources : public AcquisitionModelTest, public ::testing::WithParamInterface<TriggerCase> {};

TEST_P(TriggerSources, TriggeredMeasurementsMeasureTheField) {
  SetString(Torvex::g_node_trigger_parms_trigger_in_source, GetParam().source);
  Torvex::g_node_trigger_parms_trigger_in_count->SetInt32Attribute(Torvex::eAttrValue, 2);
  ASSERT_EQ(Initiate(), 0) << LogTail();
  if (GetParam().bus) {
    // One bus trigger per measurement; one sent before the sequence waits for it stays in the command
    // mailbox until it does. Sent again only when a trigger seems lost, so the test cannot hang.
    for (int attempt = 0; attempt < 20 && Torvex::g_TriggerActive.load(); ++attempt) {
      CTorvexHostAcquisition::SendBusTrigger();  // 51 when the measurement ended meanwhile
      WaitFor([] { return !Torvex::g_TriggerActive.load(); }, 300ms);
    }
    ASSERT_FALSE(Torvex::g_TriggerActive.load()) << LogTail();
  }
  for (std::uint32_t i = 0; i < 2; ++i) {
    double flux = NAN;
    ASSERT_EQ(CTorvexHostAcquisition::GetFlux(i, &flux), 0) << i << LogTail();
    EXPECT_NEAR(flux, kField, kTolerance) << i;
  }
  CTorvexHostAcquisition::ReleaseResults();
}

INSTANTIATE_TEST_SUITE_P(Sources, TriggerSources,
                         ::testing::Values(TriggerCase{"TIMer", false}, TriggerCase{"BUS", true},
                                           TriggerCase{"EXTernal", false}),
                         [](const auto& info) { return std::string(info.param.source); });

TEST_F(AcquisitionModelTest, AStalledDspIsRestartedAndMeasurementsResume) {
  const std::uint64_t boots = program().Boots();
  program().StallCounter(true);
  ASSERT_TRUE(WaitFor([&] { return program().Boots() > boots; }, 20s)) << LogTail();
  program().StallCounter(false);
  ASSERT_TRUE(WaitFor([] { return Torvex::g_AcqServing.load(); }, 20s)) << LogTail();
  EXPECT_NEAR(MeasureOnce(), kField, kTolerance);
}

TEST_F(AcquisitionModelTest, RefusedVersionsRestartTheAcquisitionUntilTheDspReportsGoodOnes) {
  const std::uint64_t boots = program().Boots();
  program().SetReportedVersions(sim::DspVersion{2, 3}, sim::DspVersion{1, 8});
  // A stall makes the acquisition reload the program, which then reports the refused version.
  program().StallCounter(true);
  ASSERT_TRUE(WaitFor([&] { return program().Boots() > boots; }, 20s)) << LogTail();
  program().StallCounter(false);
  ASSERT_TRUE(WaitFor([&] { return program().Boots() > boots + 2; }, 20s)) << "the restart loop goes on";
  EXPECT_EQ(StringOf(Torvex::g_node_system_versions_dsp_firmware), "2.3");
  EXPECT_EQ(Initiate(), Torvex::kAcqNotStarted);

  program().ClearFaults();
  ASSERT_TRUE(WaitFor([] { return Torvex::g_AcqServing.load(); }, 20s)) << LogTail();
  EXPECT_EQ(StringOf(Torvex::g_node_system_versions_dsp_firmware), "2.4");
  EXPECT_NEAR(MeasureOnce(), kField, kTolerance);
}

}  // namespace
}  // namespace torvex_test
