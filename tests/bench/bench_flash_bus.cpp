// What the external-bus hand-over costs a flash access: a 4 KiB write and a 4 KiB read of a file on
// /yaffs, with the host-port driver's hooks installed (as on the board) and without.
#include <benchmark/benchmark.h>
#include <fcntl.h>

#include <filesystem>
#include <string>
#include <vector>

#include "drivers/dsp_hpi.h"
#include "platform/io.h"
#include "platform/nand.h"
#include "sim/board.h"
#include "sim/nand_flash.h"
#include "support/process_board.h"

namespace {

struct Flash {
  sim::NandFlash nand{"onboard", sim::NandFlash::Geometry{2048, 64, 64}, {{0, 63}}};
  int fd = -1;
  Flash() {
    sim::Board& board = torvex_test::ProcessBoard("bench-flash-bus");
    std::filesystem::create_directories(board.Root() + "/yaffs");
    nand.Register();
    platform::mount("onboard/0", "/yaffs", "yaffs");
    fd = platform::open("/yaffs/bench.bin", O_RDWR | O_CREAT | O_TRUNC);
  }
};

Flash& TheFlash() {
  static Flash* flash = new Flash;
  return *flash;
}

void BM_FlashPageAccess(benchmark::State& state) {
  Flash& f = TheFlash();
  const bool hooks = state.range(0) != 0;
  const bool write = state.range(1) != 0;
  platform::nand::SetBusHooks(hooks ? dsp_hpi_bus_acquire : nullptr, hooks ? dsp_hpi_bus_release : nullptr);
  std::vector<char> page(4096, 'p');
  for (auto _ : state) {
    benchmark::DoNotOptimize(write ? platform::write(f.fd, page.data(), page.size())
                                   : platform::read(f.fd, page.data(), page.size()));
    platform::lseek(f.fd, 0, SEEK_SET);
  }
  state.SetLabel(std::string(write ? "write" : "read") + (hooks ? ", bus handed over" : ", no hooks"));
  platform::nand::SetBusHooks(dsp_hpi_bus_acquire, dsp_hpi_bus_release);
}
BENCHMARK(BM_FlashPageAccess)->Args({0, 1})->Args({1, 1})->Args({0, 0})->Args({1, 0});

}  // namespace
