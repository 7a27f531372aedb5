// The DSP link against the board's DSP program model: the program load, and one whole exchange whose
// reply comes from the model's own thread and reaches the host through the DSP-interrupt device (the
// path a parser-thread exchange takes), with a request that carries no tree values.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/select.h>

#include <filesystem>
#include <string>

#include "acquisition/CTorvexDSP.h"
#include "acquisition/DspProtocol.h"
#include "platform/io.h"
#include "sim/board.h"
#include "support/process_board.h"

namespace {

using namespace Torvex;

sim::Board& ModelBoard() {
  static sim::Board* board = [] {
    sim::Board& b = torvex_test::ProcessBoard("bench-dsp-model");
    const std::filesystem::path romfs = std::filesystem::path(platform::BoardRoot()) / "romfs";
    std::filesystem::create_directories(romfs);
    std::filesystem::copy(TORVEX_ROMFS_DIR, romfs,
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
    if (!platform::IsMounted("/romfs")) platform::mount("", "/romfs", "romfs");
    return &b;
  }();
  return *board;
}

int DeviceFd() {
  static const int fd = platform::open(CTorvexDSP::GetDeviceName(), O_RDONLY);
  return fd;
}

// Loads and boots the program; false when it did not come up.
bool LoadAndBoot() {
  if (CTorvexDSP::LoadDSPCode() != 0) return false;
  for (int k = 0; k < 200; ++k) {
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(DeviceFd(), &rd);
    timeval tv{0, 10000};
    platform::select(DeviceFd() + 1, &rd, nullptr, nullptr, &tv);
    if (ModelBoard().dsp().HostInterruptAsserted()) return CTorvexDSP::ReadMessage(kDspBooted, nullptr) == 0;
  }
  return false;
}

void BM_DspProgramLoadAndBoot(benchmark::State& state) {
  ModelBoard();
  for (auto _ : state) {
    if (!LoadAndBoot()) state.SkipWithError("the DSP did not boot");
  }
}
BENCHMARK(BM_DspProgramLoadAndBoot)->Unit(benchmark::kMillisecond);

void BM_DspModelExchange(benchmark::State& state) {
  ModelBoard();
  if (!LoadAndBoot()) state.SkipWithError("the DSP did not boot");
  for (auto _ : state) {
    const int result = CTorvexDSP::Exchange(kDspReleaseNmrSignal, DeviceFd(), 1000, nullptr);
    CTorvexDSP::ReleaseInterface();
    if (result != 0) state.SkipWithError(("exchange refused: " + std::to_string(result)).c_str());
  }
}
BENCHMARK(BM_DspModelExchange)->Unit(benchmark::kMicrosecond);

}  // namespace
