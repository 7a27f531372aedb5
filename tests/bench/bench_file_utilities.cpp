// Costs of the file utilities and of the file layer's path checks, on a temporary board root.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/io.h"
#include "sim/nand_flash.h"
#include "support/temp_dir.h"
#include "system/TorvexFileUtilities.h"

namespace {

namespace fs = std::filesystem;

// A board root with a few hundred files on the flash, mounted for the whole run.
struct Board {
  fs::path root;
  sim::NandFlash nand;
  Board() {
    root = torvex_test::MakeTempDir("bench-files");
    fs::create_directories(root / "romfs");
    std::string deep = "yaffs";
    for (int i = 0; i < 8; ++i) deep += "/d" + std::to_string(i);
    fs::create_directories(root / deep);
    std::ofstream(root / deep / "leaf") << "x";
    for (int d = 0; d < 10; ++d) {
      fs::create_directories(root / "yaffs/user" / std::to_string(d));
      for (int f = 0; f < 20; ++f)
        std::ofstream(root / "yaffs/user" / std::to_string(d) / ("f" + std::to_string(f))) << std::string(700, 'f');
    }
    std::ofstream(root / "yaffs/big") << std::string(64 * 1024, 'b');
    platform::SetBoardRoot(root.string());
    platform::mount("", "/romfs", "romfs");
    platform::mount("onboard/0", "/yaffs", "yaffs");
    nand.Register();
  }
  ~Board() {
    platform::umount("/yaffs");
    platform::umount("/romfs");
    fs::remove_all(root);
  }
};

Board& TheBoard() {
  static Board board;
  return board;
}

void BM_StatByDepth(benchmark::State& state) {
  TheBoard();
  std::string path = "/yaffs";
  for (int i = 0; i < state.range(0); ++i) path += "/d" + std::to_string(i);
  struct stat st {};
  for (auto _ : state) benchmark::DoNotOptimize(platform::stat(path.c_str(), &st));
  state.SetLabel("components below /yaffs = " + std::to_string(state.range(0)));
}
BENCHMARK(BM_StatByDepth)->Arg(1)->Arg(4)->Arg(8);

void BM_WriteDebugLog(benchmark::State& state) {
  TheBoard();
  const std::string text(3000, 'l');
  for (auto _ : state) Torvex::TorvexWriteTextFile("/yaffs/DebugLog.txt", text.c_str());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
  state.SetLabel("3000 bytes: temporary file, flush, sync, rename");
}
BENCHMARK(BM_WriteDebugLog)->UseRealTime();

void BM_Copy64KiB(benchmark::State& state) {
  TheBoard();
  for (auto _ : state) Torvex::TorvexCopyFile("/yaffs/copy", "/yaffs/big");
  state.SetBytesProcessed(state.iterations() * 64 * 1024);
}
BENCHMARK(BM_Copy64KiB)->UseRealTime();

void BM_ListFlash(benchmark::State& state) {
  TheBoard();
  std::vector<Torvex::FileCatalogEntry> list;
  for (auto _ : state) Torvex::TorvexListDirectory("/yaffs", list, true);
  state.SetLabel(std::to_string(list.size()) + " files");
}
BENCHMARK(BM_ListFlash);

void BM_FlashUsage(benchmark::State& state) {
  TheBoard();
  std::uint64_t used = 0, free = 0;
  std::uint8_t percent = 0;
  for (auto _ : state) Torvex::TorvexGetFlashUsage(used, free, percent);
  state.SetLabel(std::to_string(percent) + " % used");
}
BENCHMARK(BM_FlashUsage);

}  // namespace
