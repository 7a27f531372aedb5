// Figures of the rules the mass-memory and route commands apply to every host input before anything
// is touched: the canonical form of a path (short, folded and long), the text form of a channel list
// (1 to 1000 channels of three levels) and the current channel list copied under the topology and
// tree locks.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "core/CTorvexChannel.h"
#include "host/HostCommandHelpers.h"
#include "host/HostMassMemoryPaths.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace {

void BM_CanonicalPath(benchmark::State& state, std::string raw) {
  std::string out;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Torvex::CanonicalMassMemoryPath(raw, &out));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(raw.size()));
}
BENCHMARK_CAPTURE(BM_CanonicalPath, plain, std::string("/yaffs/user/measurements.txt"));
BENCHMARK_CAPTURE(BM_CanonicalPath, folded, std::string("//yaffs/./user///./measurements.txt"));
BENCHMARK_CAPTURE(BM_CanonicalPath, refused_climb, std::string("/yaffs/user/../settings/LastPowerOff.xml"));
BENCHMARK_CAPTURE(BM_CanonicalPath, long_255, "/yaffs/user/" + std::string(243, 'a'));

std::vector<Torvex::CTorvexChannel> Channels(std::size_t count) {
  std::vector<Torvex::CTorvexChannel> list(count);
  for (std::size_t i = 0; i < count; ++i) {
    list[i].AppendLevel(1);
    list[i].AppendLevel(static_cast<std::uint8_t>(1 + i % 16));
    list[i].AppendLevel(static_cast<std::uint8_t>(1 + i / 16 % 16));
  }
  return list;
}

void BM_ChannelListToText(benchmark::State& state) {
  const std::vector<Torvex::CTorvexChannel> list = Channels(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(Torvex::ChannelListToText(list));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ChannelListToText)->Arg(1)->Arg(10)->Arg(1000);

void BM_CopyCurrentChannelList(benchmark::State& state) {
  static std::vector<Torvex::CTorvexChannel> current;
  static Torvex::CParameterNode node("current_channel_list", Torvex::eNodeType::Pointer);
  current = Channels(static_cast<std::size_t>(state.range(0)));
  node.SetPointerAttribute(Torvex::eAttrValue, &current);
  Torvex::g_node_current_probe_current_channel_list = &node;
  for (auto _ : state) benchmark::DoNotOptimize(Torvex::CopyCurrentChannelList());
  Torvex::g_node_current_probe_current_channel_list = nullptr;
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CopyCurrentChannelList)->Arg(1)->Arg(10)->Arg(1000);

}  // namespace
