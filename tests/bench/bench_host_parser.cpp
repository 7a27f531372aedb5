// Commands per second end to end through the SCPI parser thread: a controller on the engine's test
// transport writes a program message to one VXI-11 client, the client queues it, the parser thread
// parses and executes it and hands the reply back, the controller reads it. Two messages: "*IDN?"
// (one query with a reply) and "STAT:OPER:ENAB 5;PTR 1" (two settings, no reply). Beside them, the
// hand-offs of one message, the cost of one bare std::binary_semaphore hand-off of the same run, and
// how many of those one message costs.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "engine/DoVovuriEngine.h"
#include "host/CTorvexHostEthernet.h"
#include "host/CTorvexHostParser.h"
#include "platform/io.h"
#include "status/CScpiStatus.h"
#include "support/hand_off.h"
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

// The thread hand-offs of one "*IDN?" through the parser (the controller stands for the transport).
constexpr const char* kMessageHandOffs[] = {
    "controller -> engine event loop: the message is complete",
    "event loop -> \"Host Parser Thread\": the message is queued for the parser",
    "parser thread -> controller: the reply is handed to the transport",
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
      const double hand_off_ns = torvex_test::BinarySemaphoreHandOffNs(20000);
      state.SetItemsProcessed(messages * commands);
      state.counters["message_us"] = message_ns / 1000.0;
      state.counters["binary_semaphore_hand_off_us"] = hand_off_ns / 1000.0;
      state.counters["hand_offs_of_a_query"] = static_cast<double>(std::size(kMessageHandOffs));
      state.counters["message_in_hand_offs"] = message_ns / hand_off_ns;
      torvex_test::PrintHandOffs("one \"*IDN?\" through the parser", kMessageHandOffs,
                                 static_cast<int>(std::size(kMessageHandOffs)));
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
