// Parameter-tree figures: attribute get and set rates with 1 and 4 threads (every thread on its own
// node, all through the one tree lock), path lookups, and the time to save and load a tree of the
// size of the factory settings (a generated tree of a few hundred nodes of every type).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/io.h"
#include "support/temp_dir.h"
#include "tree/CParameterNode.h"
#include "tree/ParameterTreeXml.h"

namespace {

using namespace Torvex;

constexpr int kThreadsMax = 4;

void Ignore(CParameterNode*, int, void*) {}

// One Float64 node per benchmark thread, each with one subscriber.
CParameterNode* ThreadNodes() {
  static CParameterNode* root = [] {
    auto* r = new CParameterNode("bench", eNodeType::Branch);
    for (int t = 0; t < kThreadsMax; ++t) {
      CParameterNode* node = nullptr;
      r->FindOrCreateNode("measure_parms/value" + std::to_string(t), eNodeType::Float64, &node);
      node->Subscribe(&Ignore, nullptr);
    }
    return r;
  }();
  return root;
}

CParameterNode* NodeOfThread(int thread) {
  CParameterNode* node = nullptr;
  ThreadNodes()->FindNode("measure_parms/value" + std::to_string(thread), &node);
  return node;
}

void BM_GetFloat64(benchmark::State& state) {
  CParameterNode* node = NodeOfThread(state.thread_index());
  for (auto _ : state) benchmark::DoNotOptimize(node->GetFloat64Attribute(eAttrValue));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetFloat64)->Threads(1)->Threads(4)->UseRealTime();

// Every set changes the value, so each one snapshots the subscribers and notifies.
void BM_SetFloat64Changing(benchmark::State& state) {
  CParameterNode* node = NodeOfThread(state.thread_index());
  double v = 0.0;
  for (auto _ : state) node->SetFloat64Attribute(eAttrValue, v += 1.0);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetFloat64Changing)->Threads(1)->Threads(4)->UseRealTime();

// Rewriting the stored value: compare only, no notification.
void BM_SetFloat64Unchanged(benchmark::State& state) {
  CParameterNode* node = NodeOfThread(state.thread_index());
  node->SetFloat64Attribute(eAttrValue, 1.0);
  for (auto _ : state) node->SetFloat64Attribute(eAttrValue, 1.0);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetFloat64Unchanged)->Threads(1)->Threads(4)->UseRealTime();

void BM_SetStringChanging(benchmark::State& state) {
  CParameterNode* node = nullptr;
  const std::string path = "host_if/text" + std::to_string(state.thread_index());
  ThreadNodes()->FindOrCreateNode(path, eNodeType::String, &node);
  const std::string a = "192.168.100.100", b = "192.168.100.101";
  bool flip = false;
  for (auto _ : state) node->SetStringAttribute(eAttrValue, (flip = !flip) ? a : b);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetStringChanging)->Threads(1)->Threads(4)->UseRealTime();

// --- a factory-sized tree ------------------------------------------------------------------------

// 6 top branches x 3 sub-branches x 5 leaves of each of the five leaf types: 450 leaves, 24 branches.
CParameterNode* GeneratedTree() {
  auto* root = new CParameterNode("root", eNodeType::Branch);
  const eNodeType leaves[] = {eNodeType::Boolean, eNodeType::Pointer, eNodeType::String, eNodeType::Int32,
                              eNodeType::Float64};
  const char* top[] = {"system", "comm_parms", "measure_parms", "trigger_parms", "ref_clock_parms", "units_parms"};
  int n = 0;
  for (const char* t : top) {
    auto* branch = new CParameterNode(t, eNodeType::Branch);
    root->AddChildNode(branch);
    for (int s = 0; s < 3; ++s) {
      auto* sub = new CParameterNode("group" + std::to_string(s), eNodeType::Branch);
      branch->AddChildNode(sub);
      for (eNodeType type : leaves) {
        for (int i = 0; i < 5; ++i, ++n) {
          CParameterNode* node = nullptr;
          sub->FindOrCreateNode(std::string(kNodeTypeNames[static_cast<int>(type)]) + "_" + std::to_string(i), type,
                                &node);
          for (int a = 0; a < kNodeAttributeCount; ++a) {
            node->SetBooleanAttribute(a, n % 2 == 0);
            node->SetStringAttribute(a, "value & text " + std::to_string(n));
            node->SetInt32Attribute(a, n * 1000 + a);
            node->SetFloat64Attribute(a, n / 7.0 + a);
          }
        }
      }
    }
  }
  return root;
}

// A board root with a mounted flash for the file benchmarks.
struct Board {
  Board() {
    path = torvex_test::MakeTempDir("bench-tree").string();
    std::filesystem::create_directories(path + "/yaffs/settings");
    platform::SetBoardRoot(path);
    platform::mount("", "/yaffs", "yaffs");
  }
  ~Board() {
    platform::umount("/yaffs");
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string path;
};

Board& TheBoard() {
  static Board board;
  return board;
}

const char* kFile = "/yaffs/settings/LastPowerOff.xml";

void BM_SaveFactorySizedTree(benchmark::State& state) {
  TheBoard();
  CParameterNode* tree = GeneratedTree();
  for (auto _ : state) {
    if (SaveTreeToXml(kFile, tree) != 0) state.SkipWithError("save failed");
  }
  std::error_code ec;
  state.counters["file_bytes"] =
      static_cast<double>(std::filesystem::file_size(TheBoard().path + "/yaffs/settings/LastPowerOff.xml", ec));
  delete tree;
}
BENCHMARK(BM_SaveFactorySizedTree)->Unit(benchmark::kMicrosecond);

// The start-up case: a new tree built from the file.
void BM_LoadFactorySizedTreeNew(benchmark::State& state) {
  TheBoard();
  CParameterNode* tree = GeneratedTree();
  SaveTreeToXml(kFile, tree);
  delete tree;
  for (auto _ : state) {
    CParameterNode* loaded = nullptr;
    if (LoadTreeFromXml(kFile, &loaded, nullptr) != 0) state.SkipWithError("load failed");
    state.PauseTiming();
    delete loaded;
    state.ResumeTiming();
  }
}
BENCHMARK(BM_LoadFactorySizedTreeNew)->Unit(benchmark::kMicrosecond);

// A settings recall: the file merged into an existing tree of the same shape (keep, set, purge).
void BM_MergeFactorySizedTree(benchmark::State& state) {
  TheBoard();
  CParameterNode* tree = GeneratedTree();
  SaveTreeToXml(kFile, tree);
  for (auto _ : state) {
    CParameterNode* result = nullptr;
    if (LoadTreeFromXml(kFile, &result, tree) != 0) state.SkipWithError("merge failed");
  }
  delete tree;
}
BENCHMARK(BM_MergeFactorySizedTree)->Unit(benchmark::kMicrosecond);

void BM_FindNodeThreeLevels(benchmark::State& state) {
  CParameterNode* tree = GeneratedTree();
  CParameterNode* node = nullptr;
  for (auto _ : state) benchmark::DoNotOptimize(tree->FindNode("units_parms/group2/Float64_4", &node));
  delete tree;
}
BENCHMARK(BM_FindNodeThreeLevels);

}  // namespace
