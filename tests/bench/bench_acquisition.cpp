// The acquisition's measurement cycle against the board's DSP program model, whose replies follow at
// once: what remains is the firmware's own cost per cycle (mailbox hand-overs, DSP exchanges through
// the host port, set-up, results store and getters) plus the model's signal computation, which the
// shortest sample (64 samples) makes small.
//
//   BM_InitiateAndRead/S        one INITiate with the field's expected value and the read of its
//                               single flux per iteration: set-up (measurement parameters, probe,
//                               tracking at the expected value; no search, whose sweep takes the model
//                               board time) and one TRIGGER exchange; S samples per measurement. The
//                               channel selection resets the peripheral controllers (a fixed 20-tick
//                               hold of their reset line), which bounds this figure at 5 per second
//                               on the board's 10 ms tick
//   BM_ContinuousResults/N/S    continuous initiation, N measurements per sequence: each iteration
//                               waits for the next new sequence (a new first time stamp; the store
//                               hands an unread result again when nothing newer was published) and
//                               reads its N fluxes
//
// Counters: items_per_second (results per second) and per_result (wall time per result).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "acquisition/CTorvexHostAcquisition.h"
#include "peripherals/CTorvexPeripheral.h"
#include "platform/io.h"
#include "platform/kernel.h"
#include "sim/board.h"
#include "support/process_board.h"
#include "support/wait_for.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "tree/ParameterTreeXml.h"

namespace {

using Torvex::CTorvexHostAcquisition;

constexpr double kField = 1.0;         // tesla, inside the proton probe's range
constexpr double kSampleRate = 1.0e6;  // the factory rate

struct World {
  bool ready = false;
  std::vector<Torvex::CTorvexChannel> channels;
};

// The board with a proton probe in a field, the factory tree, the peripherals and the acquisition
// started as main starts them; once per process.
World& TheWorld() {
  static World* world = [] {
    auto* w = new World;
    sim::Board& board = torvex_test::ProcessBoard("bench-acquisition");
    const std::filesystem::path romfs = std::filesystem::path(platform::BoardRoot()) / "romfs";
    std::filesystem::create_directories(romfs);
    std::filesystem::copy(TORVEX_ROMFS_DIR, romfs,
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
    if (!platform::IsMounted("/romfs")) platform::mount("", "/romfs", "romfs");
    if (Torvex::LoadTreeFromXml("/romfs/factory.xml", &Torvex::g_ParameterTreeRoot, nullptr) != 0 ||
        Torvex::BindParameterNodes(Torvex::g_ParameterTreeRoot) != 0) {
      return w;
    }
    // Room for the longest sequence of the benchmarks.
    Torvex::g_node_results_flux_size->SetInt32Attribute(Torvex::eAttrMaximum, 1000);
    board.peripherals().SetField(0.0, 0.0, kField);
    std::string error;
    if (!board.peripherals().Plug("1", "probe", &error)) return w;
    Torvex::CTorvexPeripheral::InitCTorvexPeripheral();
    Torvex::CTorvexChannel connector;
    connector.AppendLevel(1);
    w->channels.push_back(connector);
    Torvex::StartAcquisitionModule();
    bool accepted = false;
    bool passed = false;
    w->ready =
        Torvex::WaitForDspStarted(10000, &accepted, &passed) && accepted && passed && Torvex::WaitForAcqStarted(500);
    return w;
  }();
  return *world;
}

bool Prepare(benchmark::State& state, std::int64_t samples, std::int32_t count, bool continuous) {
  World& world = TheWorld();
  if (!world.ready) {
    state.SkipWithError("the acquisition did not start");
    return false;
  }
  Torvex::g_node_trigger_parms_trigger_in_source->SetStringAttribute(Torvex::eAttrValue, "IMMediate");
  Torvex::g_node_trigger_parms_trigger_in_count->SetInt32Attribute(Torvex::eAttrValue, count);
  Torvex::g_node_trigger_parms_trigger_in_continuous->SetBooleanAttribute(Torvex::eAttrValue, continuous);
  Torvex::g_node_measure_parms_search_mode->SetStringAttribute(Torvex::eAttrValue, "AUTO");
  Torvex::g_node_units_parms_selected->SetStringAttribute(Torvex::eAttrValue, "T");
  Torvex::g_node_measure_parms_sample_mode->SetStringAttribute(Torvex::eAttrValue, "MANual");
  Torvex::g_node_measure_parms_sample_length->SetFloat64Attribute(Torvex::eAttrValue,
                                                                  static_cast<double>(samples) / kSampleRate);
  return true;
}

void Stop() {
  Torvex::g_node_trigger_parms_trigger_in_continuous->SetBooleanAttribute(Torvex::eAttrValue, false);
  CTorvexHostAcquisition::ReleaseResults();
  if (Torvex::g_TriggerActive.load()) CTorvexHostAcquisition::AbortTrigger(true);
  torvex_test::WaitFor([] { return !Torvex::g_TriggerActive.load(); });
}

void Report(benchmark::State& state, std::int64_t results, std::int64_t failures) {
  state.SetItemsProcessed(results);
  state.counters["per_result"] =
      benchmark::Counter(static_cast<double>(results), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["failures"] = static_cast<double>(failures);
}

void BM_InitiateAndRead(benchmark::State& state) {
  if (!Prepare(state, state.range(0), 1, false)) return;
  World& world = TheWorld();
  std::int64_t results = 0;
  std::int64_t failures = 0;
  double flux = 0.0;
  // The expected value is converted with the current probe's ratio: one measurement without it
  // (which searches) selects the probe first.
  if (CTorvexHostAcquisition::InitiateTrigger(nullptr, &world.channels, 0.0) != 0 ||
      CTorvexHostAcquisition::GetFlux(0, &flux) != 0) {
    state.SkipWithError("the first measurement failed");
    Stop();
    return;
  }
  CTorvexHostAcquisition::ReleaseResults();
  torvex_test::WaitFor([] { return !Torvex::g_TriggerActive.load(); });
  for (auto _ : state) {
    if (CTorvexHostAcquisition::InitiateTrigger(nullptr, &world.channels, kField) != 0 ||
        CTorvexHostAcquisition::GetFlux(0, &flux) != 0) {
      ++failures;
    } else {
      ++results;
    }
    CTorvexHostAcquisition::ReleaseResults();
    // The trigger flow ends the measurement just after it published the result.
    torvex_test::WaitFor([] { return !Torvex::g_TriggerActive.load(); });
  }
  benchmark::DoNotOptimize(flux);
  Stop();
  Report(state, results, failures);
  state.counters["flux_error_T"] = flux - kField;
}
BENCHMARK(BM_InitiateAndRead)->Arg(64)->Arg(2000)->UseRealTime()->MinTime(2.0);

void BM_ContinuousResults(benchmark::State& state) {
  const auto count = static_cast<std::int32_t>(state.range(0));
  if (!Prepare(state, state.range(1), count, true)) return;
  World& world = TheWorld();
  if (CTorvexHostAcquisition::InitiateTrigger(nullptr, &world.channels, 0.0) != 0) {
    state.SkipWithError("initiate refused");
    Stop();
    return;
  }
  std::int64_t results = 0;
  std::int64_t failures = 0;
  double flux = 0.0;
  std::uint64_t last = 0;
  for (auto _ : state) {
    // One program message per look: a sequence not seen yet is read whole, then its buffer goes back.
    std::uint64_t first = last;
    while (first == last) {
      CTorvexHostAcquisition::ReleaseResults();
      if (CTorvexHostAcquisition::GetTimestamp(0, &first) != 0) {
        ++failures;
        break;
      }
    }
    last = first;
    for (std::int32_t i = 0; i < count; ++i) {
      if (CTorvexHostAcquisition::GetFlux(static_cast<std::uint32_t>(i), &flux) == 0) {
        ++results;
      } else {
        ++failures;
      }
    }
    CTorvexHostAcquisition::ReleaseResults();
  }
  benchmark::DoNotOptimize(flux);
  Stop();
  Report(state, results, failures);
  state.counters["flux_error_T"] = flux - kField;
}
BENCHMARK(BM_ContinuousResults)
    ->Args({1, 64})
    ->Args({10, 64})
    ->Args({100, 64})
    ->Args({10, 2000})
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace
