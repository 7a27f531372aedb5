// Costs of the engine's lower layer: the bounded semaphore post (its check and post are one step
// under the scheduler lock) beside a bare kernel post, a hand-off through COSSemaphore, one query
// through the message exchange machine, and the status mapping.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "engine/CMessageExchangeStateMachine.h"
#include "engine/COSSemaphore.h"
#include "engine/DoVovuriStatus.h"
#include "platform/kernel.h"

namespace {

void BM_KernelPostAndTake(benchmark::State& state) {
  cyg_sem_t sem;
  cyg_semaphore_init(&sem, 0);
  for (auto _ : state) {
    cyg_semaphore_post(&sem);
    cyg_semaphore_trywait(&sem);
  }
  cyg_semaphore_destroy(&sem);
}
BENCHMARK(BM_KernelPostAndTake);

void BM_OsSemaphorePostAndTake(benchmark::State& state) {
  COSSemaphore sem;
  sem.Init(0, 1);
  std::uint32_t status = 0;
  for (auto _ : state) {
    sem.Post();
    sem.Wait(0, &status);
  }
  sem.Destroy();
}
BENCHMARK(BM_OsSemaphorePostAndTake);

// A post that finds the semaphore full and is dropped.
void BM_OsSemaphorePostDropped(benchmark::State& state) {
  COSSemaphore sem;
  sem.Init(1, 1);
  for (auto _ : state) sem.Post();
  sem.Destroy();
}
BENCHMARK(BM_OsSemaphorePostDropped);

void BM_OsSemaphorePingPong(benchmark::State& state) {
  COSSemaphore ping, pong;
  ping.Init(0, 1);
  pong.Init(0, 1);
  std::atomic<bool> stop{false};
  std::thread partner([&] {
    std::uint32_t status = 0;
    for (;;) {
      ping.Wait(COSSemaphore::kWaitForever, &status);
      if (stop.load()) return;
      pong.Post();
    }
  });
  std::uint32_t status = 0;
  for (auto _ : state) {
    ping.Post();
    pong.Wait(COSSemaphore::kWaitForever, &status);
  }
  stop = true;
  ping.Post();
  partner.join();
  ping.Destroy();
  pong.Destroy();
  state.SetLabel("time per round trip = 2 hand-offs");
}
BENCHMARK(BM_OsSemaphorePingPong)->UseRealTime();

// The events of one query message, from its first byte to the response sent.
void BM_MessageExchangeQueryCycle(benchmark::State& state) {
  CMessageExchangeStateMachine m;
  for (auto _ : state) {
    m.OnMessageData();
    m.OnEndReceived();
    m.OnQueryDetected();
    m.OnReadRequest();
    m.OnResponseRequestReported();
    m.OnResponseQueued();
    m.OnResponseSent();
    m.OnMessageProcessed();
    benchmark::DoNotOptimize(m.GetState());
  }
  state.SetLabel("8 events");
}
BENCHMARK(BM_MessageExchangeQueryCycle);

void BM_StatusMapping(benchmark::State& state) {
  std::uint32_t internal = 0x54300;
  for (auto _ : state) {
    benchmark::DoNotOptimize(DoVovuriPublicStatus(internal));
    internal = 0x54300 | ((internal + 1) & 0xFF);
  }
}
BENCHMARK(BM_StatusMapping);

}  // namespace
