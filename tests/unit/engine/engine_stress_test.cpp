// A bounded stress of the engine: several host threads write, read, trigger, clear and poll the
// status byte of two devices while their applications answer on threads of their own, and a third
// device is enabled and disabled over and over. A watchdog dumps the threads and fails the test on a
// hang. Invariants: every buffer comes back once, no event after disable, the queue never holds more
// than 10, suspension depth 0 at rest.
#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/CEngineDevice.h"
#include "engine/DoVovuriStatus.h"
#include "engine_fixture.h"

namespace torvex_test {
namespace {

// Fails the test with a dump of every thread when it is not disarmed in time.
class Watchdog {
 public:
  Watchdog(std::chrono::seconds limit, std::function<std::string()> describe)
      : describe_(std::move(describe)), thread_([this, limit] { Watch(limit); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      disarmed_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

 private:
  void Watch(std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (changed_.wait_for(lock, limit, [this] { return disarmed_; })) return;
    std::fprintf(stderr, "watchdog: no progress after %lld s\n%s\n", static_cast<long long>(limit.count()),
                 describe_().c_str());
    if (DIR* tasks = opendir("/proc/self/task")) {
      while (dirent* task = readdir(tasks)) {
        if (task->d_name[0] == '.') continue;
        const std::string base = std::string("/proc/self/task/") + task->d_name;
        std::string name, wchan, stat;
        std::getline(std::ifstream(base + "/comm"), name);
        std::getline(std::ifstream(base + "/wchan"), wchan);
        std::getline(std::ifstream(base + "/stat"), stat);
        std::fprintf(stderr, "thread %s %s wchan %s stat %s\n", task->d_name, name.c_str(), wchan.c_str(),
                     stat.c_str());
      }
      closedir(tasks);
    }
    std::fflush(stderr);
    std::abort();
  }

  std::function<std::string()> describe_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool disarmed_ = false;
  std::thread thread_;
};

// An application device with its own answering thread, counting everything it gets.
class StressHost : public CTcpIpDevice {
 public:
  StressHost() {
    MessageBufferDescriptor::Init(&input_, 256, nullptr);
    MessageBufferDescriptor::Init(&response_, 64, nullptr);
    std::memcpy(response_.data, "reply\n", 6);
  }
  ~StressHost() override {
    Stop();
    Disable();
    MessageBufferDescriptor::Release(&input_);
    MessageBufferDescriptor::Release(&response_);
  }

  std::uint32_t Start(std::uint32_t context) {
    std::uint32_t status = Enable(context, nullptr, 1);
    if (status != 0) return status;
    EnableTriggerEvent();
    EnableStatusByteRequestEvent();
    PostInput();
    worker_ = std::thread([this] { Work(); });
    return 0;
  }
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
  }
  std::uint32_t Finish() {
    Stop();
    const std::uint32_t status = Disable();
    disabled_.store(true);
    return status;
  }

  void OnInputComplete(std::int32_t reason, MessageBufferDescriptor* descriptor) override {
    Event();
    std::lock_guard<std::mutex> lock(mutex_);
    if (descriptor != nullptr) {
      if (!input_out_) violations_.fetch_add(1);  // back twice
      input_out_ = false;
      work_.push_back(
          reason == kInputReasonEnd && descriptor->count > 0 && descriptor->data[descriptor->count - 1] == '?' ? 'q'
                                                                                                               : 'm');
    } else {
      work_.push_back('r');  // repost if it is not out
    }
    if (reason == kInputReasonUnterminated) {
      response_out_ = false;  // dropped by the engine
      work_.push_back('u');
    }
    if (reason == kInputReasonTrigger) work_.push_back('m');
    changed_.notify_all();
  }
  void OnResponseComplete(std::int32_t, MessageBufferDescriptor* descriptor) override {
    Event();
    if (descriptor == nullptr) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!response_out_) violations_.fetch_add(1);
    response_out_ = false;
  }
  void OnDeviceClear(std::uint32_t) override {
    Event();
    std::lock_guard<std::mutex> lock(mutex_);
    work_.clear();
    work_.push_back('r');
    changed_.notify_all();
  }
  void OnTrigger(std::uint32_t) override {
    Event();
    std::lock_guard<std::mutex> lock(mutex_);
    work_.push_back('m');
    changed_.notify_all();
  }
  void OnStatusByteRequest(std::uint32_t) override {
    Event();
    SetStatusByte(0x10);
  }

  int Violations() const { return violations_.load(); }
  int EventsAfterDisable() const { return after_disable_.load(); }
  std::uint64_t EventCount() const { return events_.load(); }

 private:
  void Event() {
    // Now and then a slow answer, so that the event queue fills and flow control holds the host back.
    if (events_.fetch_add(1) % 4 == 3) std::this_thread::sleep_for(std::chrono::microseconds(300));
    if (disabled_.load()) after_disable_.fetch_add(1);
  }
  void PostInput() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (input_out_) return;
    if (PostInputBuffer(&input_) == 0) input_out_ = true;
  }
  void Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return stopping_ || !work_.empty(); });
      if (stopping_) return;
      const char job = work_.front();
      work_.pop_front();
      lock.unlock();
      if (job == 'q') {
        QueryDetected();
        std::lock_guard<std::mutex> hold(mutex_);
        if (!response_out_) {
          response_.count = 6;
          if (QueueResponse(&response_, 1) == 0) response_out_ = true;
        }
      }
      if (job == 'u') {
        std::lock_guard<std::mutex> hold(mutex_);
        if (AcknowledgeUnterminated() == 0) response_out_ = false;
      }
      if (job == 'q' || job == 'm') MessageProcessed();
      PostInput();
      lock.lock();
    }
  }

  MessageBufferDescriptor input_{};
  MessageBufferDescriptor response_{};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<char> work_;
  bool stopping_ = false;
  bool input_out_ = false;
  bool response_out_ = false;
  std::thread worker_;
  std::atomic<bool> disabled_{false};
  std::atomic<int> violations_{0};
  std::atomic<int> after_disable_{0};
  std::atomic<std::uint64_t> events_{0};
};

struct StressCase {
  const char* name;
  SuspensionKind kind;
  int delivery_threads;
};
void PrintTo(const StressCase& c, std::ostream* os) { *os << c.name; }

class EngineStressTest : public EngineTest, public ::testing::WithParamInterface<StressCase> {};

TEST_P(EngineStressTest, HostTrafficWithAnsweringApplicationsAndDeviceChurn) {
  TestTransportConfig config;
  config.kind = GetParam().kind;
  config.delivery_threads = GetParam().delivery_threads;
  config.buffer_size = 0;
  config.clamp = 4;  // many chunks
  UseTransport(config);

  constexpr int kDevices = 2;
  std::vector<std::unique_ptr<StressHost>> hosts;
  std::vector<CTestTransport*> transports;
  for (int d = 0; d < kDevices; ++d) {
    hosts.push_back(std::make_unique<StressHost>());
    ASSERT_EQ(hosts.back()->Start(100 + d), 0u);
    transports.push_back(TestPlugins::Factory().ByContext(100 + d));
    ASSERT_NE(transports.back(), nullptr);
  }
  Watchdog watchdog(std::chrono::seconds(120), [&] {
    std::string text;
    for (CTestTransport* transport : transports) text += transport->Describe() + "\n";
    return text;
  });

  constexpr int kRounds = 1000;
  std::vector<std::thread> threads;
  const auto host_thread = [&](int seed, auto action) {
    threads.emplace_back([&, seed, action] {
      std::mt19937 random(seed);
      for (int round = 0; round < kRounds; ++round) {
        CTestTransport* transport = transports[random() % kDevices];
        action(transport, random);
        if (round % 50 == 49) transport->WaitIdle(5000);  // keep the host's backlog bounded
      }
    });
  };
  host_thread(1, [](CTestTransport* t, std::mt19937& r) { t->HostWrite(r() % 2 ? "MEAS?" : "CONF", true); });
  host_thread(2, [](CTestTransport* t, std::mt19937& r) { t->HostRead(1 + r() % 8, r() % 2 == 0); });
  host_thread(3, [](CTestTransport* t, std::mt19937& r) {
    if (r() % 4 == 0) t->HostTrigger();
  });
  host_thread(4, [](CTestTransport* t, std::mt19937& r) {
    if (r() % 16 == 0) t->HostDeviceClear();
  });
  host_thread(5, [](CTestTransport* t, std::mt19937& r) {
    if (r() % 4 == 0) t->HostStatusRead();
    if (r() % 8 == 0) t->HostRemoteLocal(1 + r() % 4);
  });
  std::atomic<int> churn_violations{0};
  threads.emplace_back([&] {
    for (int cycle = 0; cycle < 40; ++cycle) {
      StressHost host;
      if (host.Start(200) != 0) {
        churn_violations.fetch_add(1);
        continue;
      }
      if (CTestTransport* transport = TestPlugins::Factory().ByContext(200)) {
        transport->HostWrite("*IDN?", true);
        transport->HostRead(16);
        transport->HostTrigger();
      }
      if (host.Finish() != 0) churn_violations.fetch_add(1);
      churn_violations.fetch_add(host.Violations() + host.EventsAfterDisable());
    }
  });
  for (std::thread& thread : threads) thread.join();

  // Let the traffic drain: the transports go idle once the applications have answered what they can.
  for (CTestTransport* transport : transports) ASSERT_TRUE(transport->WaitIdle(60000)) << transport->Describe();
  for (int d = 0; d < kDevices; ++d) {
    CTestTransport* transport = transports[d];
    EXPECT_EQ(transport->Violations(), 0) << transport->Describe();
    // At rest the suspension depth is 0 and every suspension has been resumed. An application may
    // still be finishing an operation of its own, which suspends for a moment: wait for the rest.
    EXPECT_TRUE(torvex_test::WaitFor([&] {
      return transport->Depth() == 0 && transport->Suspends() + transport->Enables() == transport->Resumes();
    })) << transport->Describe();
    ASSERT_NE(transport->EngineDevice(), nullptr);
    EXPECT_LE(transport->EngineDevice()->QueueHighWater(), kEventQueueCapacity);
    EXPECT_GT(hosts[d]->EventCount(), 0u);
    RecordProperty("device" + std::to_string(d) + "_events", std::to_string(hosts[d]->EventCount()));
    RecordProperty("device" + std::to_string(d) + "_max_depth", std::to_string(transport->MaxDepth()));
    RecordProperty("device" + std::to_string(d) + "_queue_high_water",
                   std::to_string(transport->EngineDevice()->QueueHighWater()));
  }
  EXPECT_EQ(churn_violations.load(), 0);
  for (auto& host : hosts) {
    EXPECT_EQ(host->Finish(), 0u);
    EXPECT_EQ(host->Violations(), 0);
    EXPECT_EQ(host->EventsAfterDisable(), 0);
  }
  EXPECT_EQ(TestPlugins::Factory().Alive(), 0);
}

const StressCase kStressCases[] = {
    {"GateThreeServerThreads", SuspensionKind::kGate, 3},
    {"CounterOneInterruptThread", SuspensionKind::kCounter, 1},
};

INSTANTIATE_TEST_SUITE_P(Transports, EngineStressTest, ::testing::ValuesIn(kStressCases),
                         [](const ::testing::TestParamInfo<StressCase>& info) { return info.param.name; });

}  // namespace
}  // namespace torvex_test
