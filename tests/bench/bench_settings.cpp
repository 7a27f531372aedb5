// Costs of the settings files on a factory tree: storing the whole tree, the checks a recall makes
// before anything changes, and recalling a group that merges at once.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/io.h"
#include "settings/SettingsSubsystems.h"
#include "settings/StartupSettings.h"
#include "support/temp_dir.h"
#include "system/CTorvexPower.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "tree/ParameterTreeXml.h"

namespace {

namespace fs = std::filesystem;
using namespace Torvex;

// A board root with the factory file, both file systems mounted and the factory tree bound.
bool FactoryBoard() {
  static const bool ready = [] {
    static fs::path root = torvex_test::MakeTempDir("bench-settings");
    fs::create_directories(root / "romfs");
    fs::create_directories(root / "yaffs");
    fs::copy_file(fs::path(TORVEX_ROMFS_DIR) / "factory.xml", root / "romfs" / "factory.xml");
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(root, ec);
    });
    platform::SetBoardRoot(root.string());
    return platform::mount("", "/romfs", "romfs") == 0 && platform::mount("", "/yaffs", "yaffs") == 0 &&
           LoadTreeFromXml(kFactorySettingsPath, &g_ParameterTreeRoot, nullptr) == 0 && TorvexBindParameterNodes() == 0;
  }();
  return ready;
}

void BM_StoreGroup(benchmark::State& state) {
  if (!FactoryBoard()) return state.SkipWithError("board set-up failed");
  const auto type = static_cast<std::int32_t>(state.range(0));
  for (auto _ : state) {
    if (TorvexSaveSettings("bench.xml", type) != 0) return state.SkipWithError("store failed");
  }
  state.SetLabel(g_SettingsSubsystems[type].scpi_name);
}
BENCHMARK(BM_StoreGroup)->Arg(0)->Arg(2)->Arg(5)->Unit(benchmark::kMicrosecond);

// What a store of the whole tree costs the other users of the tree: a thread reads a node again and
// again while the stores run, and the longest time one read waited is reported. The store holds the
// tree lock only while it makes the text, not while the file is written and synced.
void BM_TreeUserWaitDuringStore(benchmark::State& state) {
  if (!FactoryBoard()) return state.SkipWithError("board set-up failed");
  std::atomic<bool> stop{false};
  std::atomic<std::int64_t> longest_ns{0};
  std::thread reader([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      const auto start = std::chrono::steady_clock::now();
      benchmark::DoNotOptimize(g_node_units_parms_ppm_ref->GetFloat64Attribute(eAttrValue));
      const std::int64_t waited =
          std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
      std::int64_t seen = longest_ns.load(std::memory_order_relaxed);
      while (waited > seen && !longest_ns.compare_exchange_weak(seen, waited)) {
      }
    }
  });
  for (auto _ : state) {
    if (TorvexSaveSettings("bench.xml", 0) != 0) {
      state.SkipWithError("store failed");
      break;
    }
  }
  stop = true;
  reader.join();
  state.counters["longest_wait_us"] = static_cast<double>(longest_ns.load()) / 1000.0;
}
BENCHMARK(BM_TreeUserWaitDuringStore)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_CheckGroupFile(benchmark::State& state) {
  if (!FactoryBoard()) return state.SkipWithError("board set-up failed");
  const auto type = static_cast<std::int32_t>(state.range(0));
  if (TorvexSaveSettings("bench.xml", type) != 0) return state.SkipWithError("store failed");
  const std::string path = std::string(g_SettingsSubsystems[type].directory) + "/bench.xml";
  for (auto _ : state) {
    if (TorvexCheckSettingsFile(path.c_str(), g_SettingsSubsystems[type]) != 0) {
      return state.SkipWithError("check refused a stored file");
    }
  }
  state.SetLabel(g_SettingsSubsystems[type].scpi_name);
}
BENCHMARK(BM_CheckGroupFile)->Arg(0)->Arg(2)->Arg(5)->Unit(benchmark::kMicrosecond);

// A recall that merges at once: the checks plus the merge.
void BM_RecallMeasure(benchmark::State& state) {
  if (!FactoryBoard()) return state.SkipWithError("board set-up failed");
  if (TorvexSaveSettings("bench.xml", 2) != 0) return state.SkipWithError("store failed");
  for (auto _ : state) {
    if (TorvexLoadSettings("/yaffs/settings/measure_parms/bench.xml") != 0) return state.SkipWithError("recall failed");
  }
}
BENCHMARK(BM_RecallMeasure)->Unit(benchmark::kMicrosecond);

}  // namespace
