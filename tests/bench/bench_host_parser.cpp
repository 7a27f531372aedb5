// Commands per second end to end through the SCPI parser thread: a controller on the engine's test
// transport writes a program message to one VXI-11 client, the client queues it, the parser thread
// parses and executes it and hands the reply back, the controller reads it. Two messages: "*IDN?"
// (one query with a reply) and "STAT:OPER:ENAB 5;PTR 1" (two settings, no reply). Beside them, the
// cost of one bare thread hand-off round trip, and how many of those one message costs.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/DoVovuriEngine.h"
#include "host/CTorvexHostEthernet.h"
#include "host/CTorvexHostParser.h"
#include "platform/io.h"
#include "status/CScpiStatus.h"
#include "support/process_board.h"
#include "test_transport.h"
#include "tree/BoundParameterNodes.h"
#include "tree/ParameterTreeXml.h"

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

// The board with its read-only file system and the factory tree, once per program.
bool WorldReady() {
  static const bool ready = [] {
    torvex_test::ProcessBoard("benchhost");
    const std::filesystem::path romfs = std::filesystem::path(platform::BoardRoot()) / "romfs";
    std::filesystem::create_directories(romfs);
    std::filesystem::copy(TORVEX_ROMFS_DIR, romfs,
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
    if (!platform::IsMounted("/romfs")) platform::mount("", "/romfs", "romfs");
    return Torvex::LoadTreeFromXml("/romfs/factory.xml", &Torvex::g_ParameterTreeRoot, nullptr) == 0 &&
           Torvex::BindParameterNodes(Torvex::g_ParameterTreeRoot) == 0;
  }();
  return ready;
}

// One thread hands a token to another and waits for it back.
class HandOff {
 public:
  HandOff() : partner_([this] { Serve(); }) {}
  ~HandOff() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    partner_.join();
  }
  double NanosecondsPerRoundTrip(int rounds) {
    const auto start = std::chrono::steady_clock::now();
    for (int k = 0; k < rounds; ++k) {
      std::unique_lock<std::mutex> lock(mutex_);
      away_ = true;
      changed_.notify_all();
      changed_.wait(lock, [this] { return !away_; });
    }
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / rounds;
  }

 private:
  void Serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return away_ || stop_; });
      if (stop_) return;
      away_ = false;
      changed_.notify_all();
    }
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  bool away_ = false;
  bool stop_ = false;
  std::thread partner_;
};

// Runs `message` through one client for every iteration; `reply` tells whether the controller reads.
void RunMessages(benchmark::State& state, const std::string& message, bool reply, int commands) {
  if (!WorldReady()) {
    state.SkipWithError("no parameter tree");
    return;
  }
  static const DoVovuriPluginHooks hooks{&StartPlugin, &StopPlugin};
  DoVovuriInstallPluginHooks(kPluginIdVxi11, &hooks);
  if (DoVovuriStartEngine() != 0 || DoVovuriStartVxi11Plugin() != 0) {
    state.SkipWithError("engine did not start");
    return;
  }
  {
    Torvex::CTorvexHostParser parser;
    auto client = std::make_unique<Torvex::CTorvexHostEthernet>(&parser, &Torvex::g_ScpiStatusTemplate);
    CTestTransport* transport = Factory().Last();
    if (!client->IsReady() || transport == nullptr || !parser.IsRunning()) {
      state.SkipWithError("client not ready");
    } else {
      std::size_t received = transport->Received().size();
      std::int64_t messages = 0;
      const auto start = std::chrono::steady_clock::now();
      for (auto _ : state) {
        const std::uint64_t before = client->MessagesProcessed();
        transport->HostWrite(message, true);
        if (reply) {
          transport->HostRead(4096);
          if (!transport->WaitReceived(received + 1)) {
            state.SkipWithError("no reply");
            break;
          }
          // The whole reply, up to its line feed.
          for (;;) {
            const std::string all = transport->Received();
            if (!all.empty() && all.back() == '\n') {
              received = all.size();
              break;
            }
            std::this_thread::yield();
          }
        }
        while (client->MessagesProcessed() == before) std::this_thread::yield();
        ++messages;
      }
      const double message_ns =
          std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
          static_cast<double>(messages > 0 ? messages : 1);
      HandOff hand_off;
      const double hand_off_ns = hand_off.NanosecondsPerRoundTrip(20000);
      state.SetItemsProcessed(messages * commands);
      state.counters["message_us"] = message_ns / 1000.0;
      state.counters["hand_off_round_trip_us"] = hand_off_ns / 1000.0;
      state.counters["hand_offs_per_message"] = message_ns / hand_off_ns;
    }
    client.reset();
  }
  DoVovuriStopAll();
}

void BM_HostIdentityQuery(benchmark::State& state) { RunMessages(state, "*IDN?", true, 1); }
BENCHMARK(BM_HostIdentityQuery)->UseRealTime();

void BM_HostStatusSettings(benchmark::State& state) { RunMessages(state, "STAT:OPER:ENAB 5;PTR 1", false, 2); }
BENCHMARK(BM_HostStatusSettings)->UseRealTime();

}  // namespace
