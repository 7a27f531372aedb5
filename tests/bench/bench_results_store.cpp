// The results store and the result getters: the cost of one measurement sequence's hand-over (publish,
// take by the reader, every flux read through the getter, release at the end of the message), and of a
// hand-over to a reader on another thread that waits for each result.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "acquisition/CResultsStore.h"
#include "acquisition/CTorvexHostAcquisition.h"

namespace {

using Torvex::CResultsStore;
using Torvex::CTorvexHostAcquisition;
using Torvex::g_ResultsStore;
using Torvex::ResultBuffer;

constexpr std::uint32_t kCapacity = 1000;

void Publish(std::uint32_t count, double value) {
  ResultBuffer* b = g_ResultsStore.GetSlotBuffer(CResultsStore::kWriterSlot);
  if (b == nullptr) b = g_ResultsStore.TryTake(CResultsStore::kWriterSlot);
  if (b == nullptr) return;
  for (std::uint32_t i = 0; i < count; ++i) b->flux[i] = value;
  b->count = count;
  g_ResultsStore.PublishAndTake(b, CResultsStore::kWriterSlot);
}

// One sequence of `count` measurements published and read back, value by value, in one message.
void BM_SequenceHandOver(benchmark::State& state) {
  g_ResultsStore.AllocateArrays(kCapacity);
  g_ResultsStore.Clear();
  Torvex::g_TriggerActive = false;
  const auto count = static_cast<std::uint32_t>(state.range(0));
  double sum = 0;
  for (auto _ : state) {
    Publish(count, 1.0);
    for (std::uint32_t i = 0; i < count; ++i) {
      double flux = 0;
      CTorvexHostAcquisition::GetFlux(i, &flux);
      sum += flux;
    }
    CTorvexHostAcquisition::ReleaseResults();
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * count);
  g_ResultsStore.Clear();
}
BENCHMARK(BM_SequenceHandOver)->Arg(1)->Arg(100)->Arg(1000);

// A writer thread publishes one-measurement results as fast as it can; the reader (the benchmark's
// thread) reads one result per message, waiting when none is ready.
void BM_CrossThreadResults(benchmark::State& state) {
  g_ResultsStore.AllocateArrays(kCapacity);
  g_ResultsStore.Clear();
  Torvex::g_TriggerActive = true;
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    double value = 0;
    while (!stop.load(std::memory_order_relaxed)) Publish(1, ++value);
  });
  std::int64_t read = 0;
  for (auto _ : state) {
    double flux = 0;
    if (CTorvexHostAcquisition::GetFlux(0, &flux) == 0) ++read;
    CTorvexHostAcquisition::ReleaseResults();
  }
  stop = true;
  writer.join();
  Torvex::g_TriggerActive = false;
  g_ResultsStore.Clear();
  state.SetItemsProcessed(read);
}
BENCHMARK(BM_CrossThreadResults);

}  // namespace
