// The DSP link on the simulated board: one complete exchange (request built and written through the
// host port, the scripted DSP's reply read back and checked, the interface lock taken and released)
// for the shortest request, the tree-heavy PW_MEASURE_PARMS and the 658-word PW_PROBE_CONNECT; and
// the status-block read that the acquisition polls.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <vector>

#include "acquisition/CTorvexDSP.h"
#include "acquisition/DspProtocol.h"
#include "drivers/dsp_hpi.h"
#include "platform/io.h"
#include "sim/board.h"
#include "support/fake_probe.h"
#include "support/process_board.h"
#include "support/scripted_dsp.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "tree/ParameterTreeXml.h"

namespace {

using namespace Torvex;

// The board with the factory tree bound, a probe selected and a booted link; once per process.
torvex_test::ScriptedDsp& Link() {
  static torvex_test::ScriptedDsp* script = [] {
    sim::Board& board = torvex_test::ProcessBoard("bench-dsp");
    const std::filesystem::path romfs = std::filesystem::path(board.Root()) / "romfs";
    std::filesystem::create_directories(romfs);
    std::filesystem::copy_file(std::filesystem::path(TORVEX_ROMFS_DIR) / "factory.xml", romfs / "factory.xml",
                               std::filesystem::copy_options::overwrite_existing);
    if (!platform::IsMounted("/romfs")) platform::mount("", "/romfs", "romfs");
    LoadTreeFromXml("/romfs/factory.xml", &g_ParameterTreeRoot, nullptr);
    BindParameterNodes(g_ParameterTreeRoot);
    static torvex_test::FakeProbe probe(42.0e6);
    std::vector<std::uint16_t> curve(128, 0x1234);
    for (int c = 0; c < 5; ++c) probe.information.Curve(c)->Assign(curve.data(), 128);
    g_node_current_probe_object->SetPointerAttribute(eAttrValue, &probe);
    board.dsp_program().Stop();  // the scripted DSP answers at once, on the host's thread
    dsp_reset(true);
    auto* s = new torvex_test::ScriptedDsp(board.dsp());
    s->SendBooted(2, 4, 1, 8);
    CTorvexDSP::ReadMessage(kDspBooted, nullptr);
    return s;
  }();
  return *script;
}

void BM_DspExchange(benchmark::State& state) {
  Link();
  const auto request = static_cast<std::uint32_t>(state.range(0));
  for (auto _ : state) {
    int result = CTorvexDSP::SendRequest(request);
    if (result == 0) result = CTorvexDSP::ReadMessage(DspReplyId(request), nullptr);
    CTorvexDSP::ReleaseInterface();
    if (result != 0) state.SkipWithError("exchange refused");
  }
  state.SetLabel(DspRequestName(request));
  state.counters["request words"] = DspRequestLength(request) / 4;
}
BENCHMARK(BM_DspExchange)->Arg(kDspQuit)->Arg(kDspPwMeasureParms)->Arg(kDspPwProbeConnect);

void BM_DspStatusBlock(benchmark::State& state) {
  Link();
  DspStatusBlock block;
  for (auto _ : state) benchmark::DoNotOptimize(CTorvexDSP::ReadStatusBlock(&block));
}
BENCHMARK(BM_DspStatusBlock);

}  // namespace
