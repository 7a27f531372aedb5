// The firmware's own cost of one VXI-11 query: a client on a loopback connection sends device_write
// "*IDN?" and device_read, served by the core channel, the link table, the engine and an application
// device that answers from its event function. Beside it, the same two calls answered by the core
// channel over a link table that does no work, so the share of the wire side shows, and the cost of a
// bare std::binary_semaphore hand-off of the same run, with how many of those one query costs.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/C4882Device.h"
#include "support/hand_off.h"
#include "engine/DoVovuriEngine.h"
#include "vxi11/CInstrumentServerManager.h"
#include "vxi11/Vxi11Plugin.h"
#include "vxi11/Vxi11ServerHooks.h"
#include "vxi11_wire.h"

namespace {

using vxi11_test::ArgWords;
using vxi11_test::Bytes;
using vxi11_test::Call;
using vxi11_test::CallSpec;
using vxi11_test::Get;
using vxi11_test::RawClient;

class IdnDevice : public CTcpIpDevice {
 public:
  IdnDevice() {
    MessageBufferDescriptor::Init(&input_, 256, nullptr);
    MessageBufferDescriptor::Init(&response_, 256, nullptr);
    std::memcpy(response_.data, "TORVEX,BENCH,0,1.0\n", 19);
    response_.count = 19;
  }
  ~IdnDevice() override {
    Disable();
    MessageBufferDescriptor::Release(&input_);
    MessageBufferDescriptor::Release(&response_);
  }
  bool Start() { return Enable(0, nullptr, 1) == 0 && PostInputBuffer(&input_) == 0; }
  void OnInputComplete(std::int32_t, MessageBufferDescriptor*) override {
    QueryDetected();
    response_.count = 19;
    QueueResponse(&response_, 1);
  }
  void OnResponseComplete(std::int32_t, MessageBufferDescriptor*) override {
    MessageProcessed();
    PostInputBuffer(&input_);
  }
  void OnDeviceClear(std::uint32_t) override {}

 private:
  MessageBufferDescriptor input_{};
  MessageBufferDescriptor response_{};
};

// The thread hand-offs of one query of BM_QueryThroughEngine (the device answers on the event loop;
// in the firmware the "Host Parser Thread" adds one between the event loop and the response).
constexpr const char* kQueryHandOffs[] = {
    "client -> connection thread: device_write \"*IDN?\" with END",
    "connection thread -> engine event loop: the message is complete (DataReceived queues the event)",
    "connection thread -> client: device_write reply",
    "client -> connection thread: device_read",
    "event loop -> connection thread: the response is queued (the read waits for it in the exchange)",
    "connection thread -> client: device_read reply",
};

// The figures beside a query benchmark: the bare hand-off of this run and the query in hand-offs.
void ReportHandOffs(benchmark::State& state, double seconds, std::int64_t queries) {
  if (queries <= 0) return;
  const double hand_off_ns = torvex_test::BinarySemaphoreHandOffNs(20000);
  const double query_ns = seconds * 1e9 / static_cast<double>(queries);
  state.counters["query_us"] = query_ns / 1000.0;
  state.counters["binary_semaphore_hand_off_us"] = hand_off_ns / 1000.0;
  state.counters["hand_offs_of_a_query"] = static_cast<double>(std::size(kQueryHandOffs));
  state.counters["query_in_hand_offs"] = query_ns / hand_off_ns;
  torvex_test::PrintHandOffs("one VXI-11 query", kQueryHandOffs, static_cast<int>(std::size(kQueryHandOffs)));
}

CallSpec Proc(std::uint32_t proc) {
  CallSpec spec;
  spec.proc = proc;
  return spec;
}

// One query on link `lid`; false when a reply is missing or reports an error.
bool Query(RawClient* client, std::uint32_t lid) {
  Bytes write_args = ArgWords({lid, 5000, 0, 8});
  vxi11_test::PutOpaque(&write_args, "*IDN?\n");
  const Bytes written = client->Exchange(Call(Proc(11), write_args));
  const Bytes read = client->Exchange(Call(Proc(12), ArgWords({lid, 4096, 5000, 0, 0, 0})));
  return Get(written, 24) == 0 && Get(read, 24) == 0 && Get(read, 32) > 0;
}

std::uint32_t CreateLink(RawClient* client) {
  Bytes args = ArgWords({1, 0, 0});
  vxi11_test::PutOpaque(&args, "inst0");
  const Bytes reply = client->Exchange(Call(Proc(10), args));
  return Get(reply, 24) == 0 ? Get(reply, 28) : 0;
}

CVxi11ServerOptions Options(const CVxi11LinkOperations* operations) {
  CVxi11ServerOptions options;
  options.portmapper_port = 0;  // no system portmapper: the built-in one on an ephemeral port
  options.operations = operations;
  return options;
}

void BM_QueryThroughEngine(benchmark::State& state) {
  Vxi11ProvidePlugin(nullptr);  // the link table and interfaces; the server is made here
  if (DoVovuriStartEngine() != 0 || DoVovuriStartVxi11Plugin() != 0) {
    state.SkipWithError("engine or plug-in did not start");
    return;
  }
  {
    IdnDevice device;
    auto manager = std::make_unique<CInstrumentServerManager>(Options(Vxi11LinkTableOperations()));
    RawClient client(manager->GetPort());
    const std::uint32_t lid = device.Start() && !manager->IsFailed() ? CreateLink(&client) : 0;
    if (lid == 0) {
      state.SkipWithError("no link");
    } else {
      std::int64_t queries = 0;
      const auto start = std::chrono::steady_clock::now();
      for (auto _ : state) {
        if (!Query(&client, lid)) {
          state.SkipWithError("query failed");
          break;
        }
        ++queries;
      }
      ReportHandOffs(state, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), queries);
    }
    client.Close();
    manager.reset();
  }
  DoVovuriStopAll();
  state.counters["queries_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_QueryThroughEngine)->UseRealTime()->MinTime(1.0);

// Eight connections, each with its own link, querying at once: the links share the device's one
// message exchange and the engine's one event thread. One iteration is 50 queries on every link.
void BM_QueriesOnEightLinks(benchmark::State& state) {
  constexpr int kLinks = 8;
  constexpr int kQueriesPerLink = 50;
  Vxi11ProvidePlugin(nullptr);
  if (DoVovuriStartEngine() != 0 || DoVovuriStartVxi11Plugin() != 0) {
    state.SkipWithError("engine or plug-in did not start");
    return;
  }
  {
    IdnDevice device;
    auto manager = std::make_unique<CInstrumentServerManager>(Options(Vxi11LinkTableOperations()));
    std::vector<std::unique_ptr<RawClient>> clients;
    std::vector<std::uint32_t> lids;
    const bool started = device.Start() && !manager->IsFailed();
    for (int i = 0; started && i < kLinks; ++i) {
      clients.push_back(std::make_unique<RawClient>(manager->GetPort()));
      lids.push_back(CreateLink(clients.back().get()));
      if (lids.back() == 0) break;
    }
    if (lids.size() != kLinks || lids.back() == 0) {
      state.SkipWithError("no links");
    } else {
      std::atomic<int> failed{0};
      for (auto _ : state) {
        std::vector<std::thread> threads;
        for (int i = 0; i < kLinks; ++i) {
          threads.emplace_back([&, i] {
            for (int q = 0; q < kQueriesPerLink; ++q) {
              if (!Query(clients[i].get(), lids[i])) ++failed;
            }
          });
        }
        for (std::thread& thread : threads) thread.join();
        if (failed.load() != 0) {
          state.SkipWithError("query failed");
          break;
        }
      }
    }
    for (auto& client : clients) client->Close();
    manager.reset();
  }
  DoVovuriStopAll();
  state.counters["queries_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kLinks * kQueriesPerLink, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_QueriesOnEightLinks)->UseRealTime()->MinTime(1.0);

// The two calls over a link table that answers at once: record reading, decoding, replies.
void BM_WireSideOnly(benchmark::State& state) {
  vxi11_test::FakeLinks::Get().Reset();
  auto manager = std::make_unique<CInstrumentServerManager>(Options(vxi11_test::FakeOperations()));
  RawClient client(manager->GetPort());
  for (auto _ : state) {
    if (!Query(&client, 7)) {
      state.SkipWithError("query failed");
      break;
    }
  }
  client.Close();
  manager.reset();
  state.counters["queries_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WireSideOnly)->UseRealTime()->MinTime(1.0);

}  // namespace
