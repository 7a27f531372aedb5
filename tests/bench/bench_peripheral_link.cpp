// Peripheral link and topology figures against the simulated controllers, with the kernel tick set
// to 1 us so that the ready waits (10 ticks each) cost little and the frames, the I2C bus driver and
// the controllers' model dominate: one identification read, a scan of a probe on the connector and
// of a multiplexer tree, and a whole topology build (objects initialised, branch published).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "drivers/board_devices.h"
#include "peripherals/CTorvexPeripheral.h"
#include "peripherals/PeripheralLink.h"
#include "peripherals/PwPhysicalInformation.h"
#include "platform/devtab.h"
#include "platform/io.h"
#include "platform/kernel.h"
#include "sim/board.h"
#include "support/process_board.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace {

using namespace Torvex;

sim::Board& TheBoard() {
  static sim::Board* board = [] {
    platform::kernel::SetTickMicroseconds(1);
    sim::Board* b = &torvex_test::ProcessBoard("bench-link");
    PeripheralLink::Init();
    static CParameterNode peripherals("peripherals", eNodeType::Branch);
    static CParameterNode object("object", eNodeType::Pointer);
    static CParameterNode broken("nmr_path_broken", eNodeType::Boolean);
    g_node_peripherals = &peripherals;
    g_node_current_probe_object = &object;
    g_node_current_probe_nmr_path_broken = &broken;
    g_ProbeInfoSource = eProbeInfoFromProbe;
    return b;
  }();
  return *board;
}

void PlugTree(const std::vector<std::pair<const char*, const char*>>& tree) {
  sim::Board& board = TheBoard();
  (void)board.peripherals().Unplug("1", nullptr);
  for (const auto& [path, kind] : tree) {
    if (!board.peripherals().Plug(path, kind, nullptr)) std::abort();
  }
}

const std::vector<std::pair<const char*, const char*>> kProbe = {{"1", "probe"}};
const std::vector<std::pair<const char*, const char*>> kTree = {
    {"1", "multiplexer:4"}, {"1/1", "probe"},   {"1/2", "probe"},   {"1/3", "multiplexer:4"},
    {"1/3/1", "probe"},     {"1/3/2", "probe"}, {"1/4", "camera:3"}};

void BM_ReadIdentification(benchmark::State& state) {
  PlugTree(kProbe);
  PeripheralIdentification id;
  for (auto _ : state) {
    if (PeripheralLink::ReadIdentification(id) != 0) state.SkipWithError("identification failed");
    benchmark::DoNotOptimize(id);
  }
}
BENCHMARK(BM_ReadIdentification);

void BM_ScanTopology(benchmark::State& state) {
  PlugTree(state.range(0) == 0 ? kProbe : kTree);
  std::vector<PeripheralScanEntry> list;
  for (auto _ : state) {
    if (PeripheralLink::ScanTopology(list) != 0) state.SkipWithError("scan failed");
  }
  state.counters["entries"] = static_cast<double>(list.size());
}
BENCHMARK(BM_ScanTopology)->Arg(0)->Arg(1)->ArgNames({"tree"});

void BM_CreateTopology(benchmark::State& state) {
  PlugTree(state.range(0) == 0 ? kProbe : kTree);
  std::vector<CTorvexChannel> list;
  for (auto _ : state) {
    if (CTorvexPeripheral::CreateTopology(list) != 0) state.SkipWithError("topology failed");
  }
  state.counters["channels"] = static_cast<double>(list.size());
  CTorvexPeripheral::DeleteTopologyNodes(g_node_peripherals, true);
}
BENCHMARK(BM_CreateTopology)->Arg(0)->Arg(1)->ArgNames({"tree"});

}  // namespace
