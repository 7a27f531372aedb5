// Kernel hand-off and lock costs.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "core/CRecursiveMutex.h"
#include "platform/kernel.h"

namespace {

// One round trip: post to a waiting thread, which posts back (two post-to-wake hand-offs).
void BM_SemaphorePingPong(benchmark::State& state) {
  cyg_sem_t ping, pong;
  cyg_semaphore_init(&ping, 0);
  cyg_semaphore_init(&pong, 0);
  std::atomic<bool> stop{false};
  std::thread partner([&] {
    for (;;) {
      cyg_semaphore_wait(&ping);
      if (stop.load()) return;
      cyg_semaphore_post(&pong);
    }
  });
  for (auto _ : state) {
    cyg_semaphore_post(&ping);
    cyg_semaphore_wait(&pong);
  }
  stop = true;
  cyg_semaphore_post(&ping);
  partner.join();
  state.SetLabel("time per round trip = 2 hand-offs");
}
BENCHMARK(BM_SemaphorePingPong)->UseRealTime();

void BM_RecursiveMutexUncontended(benchmark::State& state) {
  Torvex::CRecursiveMutex m;
  for (auto _ : state) {
    m.Lock();
    m.Unlock();
  }
}
BENCHMARK(BM_RecursiveMutexUncontended);

void BM_RecursiveMutexNested(benchmark::State& state) {
  Torvex::CRecursiveMutex m;
  m.Lock();
  for (auto _ : state) {
    m.Lock();
    m.Unlock();
  }
  m.Unlock();
}
BENCHMARK(BM_RecursiveMutexNested);

void BM_KernelMutexUncontended(benchmark::State& state) {
  cyg_mutex_t m;
  cyg_mutex_init(&m);
  for (auto _ : state) {
    cyg_mutex_lock(&m);
    cyg_mutex_unlock(&m);
  }
}
BENCHMARK(BM_KernelMutexUncontended);

}  // namespace
