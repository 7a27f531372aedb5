// Costs of the help-syntax query's two steps: finding the command whose pattern matches a header text
// (a scan of the command table in order) and reading its entry from the help file (open, seek, read,
// close through the file layer), on a temporary board root holding the built read-only image.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "host/HostCommonCommands.h"
#include "platform/io.h"
#include "scpi/scpi_command_table.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

struct Romfs {
  Romfs() {
    const fs::path root = torvex_test::MakeTempDir("bench-help");
    fs::create_directories(root / "romfs");
    fs::copy(TORVEX_ROMFS_DIR, root / "romfs", fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    platform::SetBoardRoot(root.string());
    if (platform::mount("", "/romfs", "romfs") != 0) std::abort();
  }
};

void EnsureRomfs() { static Romfs romfs; }

// Early, middle and last rows of the table: the scan stops at the first match.
void BM_FindHelpCommand(benchmark::State& state) {
  const char* texts[] = {"*IDN?", "MEAS?", "UNIT:PPMR"};
  const std::string text = texts[state.range(0)];
  std::size_t found = 0;
  for (auto _ : state) {
    found = Torvex::FindHelpCommand(text);
    benchmark::DoNotOptimize(found);
  }
  state.SetLabel(text + " -> " + std::to_string(found));
}
BENCHMARK(BM_FindHelpCommand)->Arg(0)->Arg(1)->Arg(2);

void BM_FindHelpCommandNoMatch(benchmark::State& state) {
  const std::string text = "NOSUCH:HEADER";
  for (auto _ : state) benchmark::DoNotOptimize(Torvex::FindHelpCommand(text));
}
BENCHMARK(BM_FindHelpCommandNoMatch);

void BM_ReadHelpSyntaxEntry(benchmark::State& state) {
  EnsureRomfs();
  std::string entry;
  for (auto _ : state) {
    if (!Torvex::ReadHelpSyntaxEntry(Torvex::kScpiCommandCount - 1, entry)) {
      state.SkipWithError("help file not readable");
      break;
    }
    benchmark::DoNotOptimize(entry.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 130);
}
BENCHMARK(BM_ReadHelpSyntaxEntry);

}  // namespace
