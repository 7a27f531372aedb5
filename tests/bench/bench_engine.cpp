// Round trip of a 5-byte query through the 488.2 engine with the test transport: the host writes
// "*IDN?", the application answers "12345\n" from its event function, the host reads it. Beside it, in
// the same run, the bare round trip of a condition-variable hand-off between two threads, and the
// ratio of the two.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "engine/C4882Device.h"
#include "engine/DoVovuriEngine.h"
#include "test_transport.h"

namespace {

using torvex_test::CTestTransport;
using torvex_test::CTestTransportFactory;
using torvex_test::TestTransportConfig;

CTestTransportFactory& Factory() {
  static CTestTransportFactory factory{TestTransportConfig{}};
  return factory;
}

CPhysicalInterfaceFactory* StartPlugin(std::uint32_t* status) {
  *status = 0;
  return &Factory();
}
void StopPlugin() {}

class AnsweringHost : public CTcpIpDevice {
 public:
  AnsweringHost() {
    MessageBufferDescriptor::Init(&input_, 64, nullptr);
    MessageBufferDescriptor::Init(&response_, 64, nullptr);
    std::memcpy(response_.data, "12345\n", 6);
    response_.count = 6;
  }
  ~AnsweringHost() override {
    Disable();
    MessageBufferDescriptor::Release(&input_);
    MessageBufferDescriptor::Release(&response_);
  }
  bool Start() { return Enable(0, "inst0", 1) == 0 && PostInputBuffer(&input_) == 0; }

  void OnInputComplete(std::int32_t, MessageBufferDescriptor*) override {
    QueryDetected();
    QueueResponse(&response_, 1);
    MessageProcessed();
    PostInputBuffer(&input_);
  }
  void OnResponseComplete(std::int32_t, MessageBufferDescriptor*) override {}
  void OnDeviceClear(std::uint32_t) override {}

 private:
  MessageBufferDescriptor input_{};
  MessageBufferDescriptor response_{};
};

// Two threads handing a token back and forth over one condition variable: the bare cost of the
// thread hand-offs that a round trip through the engine is made of.
class PingPong {
 public:
  PingPong() : partner_([this] { Serve(); }) {}
  ~PingPong() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    partner_.join();
  }
  void RoundTrip() {
    std::unique_lock<std::mutex> lock(mutex_);
    turn_ = 1;
    changed_.notify_all();
    changed_.wait(lock, [this] { return turn_ == 0; });
  }
  // Nanoseconds of one round trip, averaged over `rounds`.
  double Measure(int rounds) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) RoundTrip();
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / rounds;
  }

 private:
  void Serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return turn_ == 1 || stop_; });
      if (stop_) return;
      turn_ = 0;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  int turn_ = 0;  // 0: the caller's, 1: the partner's
  bool stop_ = false;
  std::thread partner_;
};

void BM_ConditionVariableRoundTrip(benchmark::State& state) {
  PingPong ping_pong;
  for (auto _ : state) ping_pong.RoundTrip();
}
BENCHMARK(BM_ConditionVariableRoundTrip)->UseRealTime();

void BM_EngineQueryRoundTrip(benchmark::State& state) {
  static const DoVovuriPluginHooks hooks{&StartPlugin, &StopPlugin};
  DoVovuriInstallPluginHooks(kPluginIdVxi11, &hooks);
  TestTransportConfig config;
  config.kind = state.range(0) == 0 ? torvex_test::SuspensionKind::kGate : torvex_test::SuspensionKind::kCounter;
  Factory().SetConfig(config);
  if (DoVovuriStartEngine() != 0 || DoVovuriStartVxi11Plugin() != 0) {
    state.SkipWithError("engine did not start");
    return;
  }
  {
    AnsweringHost host;
    if (!host.Start()) {
      state.SkipWithError("device did not enable");
    } else {
      CTestTransport* transport = Factory().Last();
      std::size_t expected = 0;
      const auto start = std::chrono::steady_clock::now();
      std::int64_t rounds = 0;
      for (auto _ : state) {
        transport->HostWrite("*IDN?", true);
        // A host's write returns once the device has taken the bytes; then it reads.
        if (!transport->WaitWritten()) {
          state.SkipWithError("write not taken");
          break;
        }
        transport->HostRead(64);
        expected += 6;
        if (!transport->WaitReceived(expected)) {
          state.SkipWithError("no answer");
          break;
        }
        ++rounds;
      }
      const double engine_ns =
          std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
          static_cast<double>(rounds > 0 ? rounds : 1);
      PingPong ping_pong;
      const double bare_ns = ping_pong.Measure(20000);
      state.counters["engine_round_trip_us"] = engine_ns / 1000.0;
      state.counters["cv_round_trip_us"] = bare_ns / 1000.0;
      state.counters["ratio"] = engine_ns / bare_ns;
    }
  }
  DoVovuriStopAll();
}
BENCHMARK(BM_EngineQueryRoundTrip)->Arg(0)->Arg(1)->ArgName("counter")->UseRealTime();

}  // namespace
