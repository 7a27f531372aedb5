// The whole firmware over VXI-11 with clients that misbehave: one aborts its own reads, reads while a
// command is still being processed, leaves a read waiting and goes away, writes queries and never reads
// them, aborts and clears at random, or holds the device lock. Beside each, a well-behaved client keeps
// asking *IDN? with its own time-out: every one of its queries is answered, while the other client
// misbehaves and after it has gone, and no client ever receives another client's answer. Each test
// prints what the well-behaved client saw (queries, failures, slowest answer).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "firmware_process.h"
#include "support/free_port.h"
#include "support/vxi11_client.h"
#include "support/wait_for.h"

namespace {

using namespace std::chrono_literals;
using torvex_test::FirmwareProcess;
using torvex_test::Vxi11Client;
using torvex_test::WaitFor;

// A measurement and the completion query behind it: its answer is told apart from any other link's
// answer and from a part of one, also when the measurement finds nothing in time on a loaded machine
// (no value, and the error in the device's queue).
constexpr char kMeasure[] = "MEAS? 1.5,3,(@1);*OPC?\n";
constexpr char kMeasured[] = "1.500 T;1\n";
constexpr char kMeasuredNothing[] = ";1\n";

bool IsMeasurement(const std::string& data) { return data == kMeasured || data == kMeasuredNothing; }

// Asks *IDN? on its own link, in its own thread, until stopped: counts what it saw.
class WellBehavedClient {
 public:
  WellBehavedClient(std::uint16_t core_port, std::string identity, std::uint32_t io_timeout)
      : identity_(std::move(identity)), io_timeout_(io_timeout) {
    connected_ = client_.Connect(core_port) && client_.CreateLink().Ok();
    if (connected_) thread_ = std::thread([this] { Run(); });
  }
  ~WellBehavedClient() { Stop(); }

  bool Connected() const { return connected_; }
  // Waits until at least `more` further queries were answered (or failed).
  bool WaitForQueries(int more, std::chrono::milliseconds limit = 60s) {
    const int target = queries_.load() + more;
    return WaitFor([&] { return queries_.load() >= target; }, limit);
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int Queries() const { return queries_.load(); }
  int Failures() const { return failures_.load(); }
  long SlowestMs() const { return slowest_ms_.load(); }
  std::string FirstFailure() {
    std::lock_guard<std::mutex> hold(mutex_);
    return first_failure_;
  }
  std::string Summary() const {
    return std::to_string(queries_.load()) + " queries, " + std::to_string(failures_.load()) + " failed, slowest " +
           std::to_string(slowest_ms_.load()) + " ms";
  }

 private:
  void Run() {
    while (!stop_.load()) {
      const Vxi11Client::Reply reply = client_.Query("*IDN?\n", io_timeout_);
      if (!reply.Ok() || reply.data != identity_) {
        ++failures_;
        std::lock_guard<std::mutex> hold(mutex_);
        if (first_failure_.empty()) {
          first_failure_ = "error " + std::to_string(reply.error) + " after " + std::to_string(reply.took.count()) +
                           " ms, data '" + reply.data + "'";
        }
      }
      slowest_ms_ = std::max<long>(slowest_ms_.load(), static_cast<long>(reply.took.count()));
      ++queries_;
    }
  }

  Vxi11Client client_;
  std::string identity_;
  std::uint32_t io_timeout_;
  bool connected_ = false;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> queries_{0};
  std::atomic<int> failures_{0};
  std::atomic<long> slowest_ms_{0};
  std::mutex mutex_;
  std::string first_failure_;
};

class Vxi11LinksFirmware : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(fw_.Root());
    std::ofstream(fw_.Root() / "board.conf", std::ios::trunc) << "flash-blocks 64\nplug 1 probe\n";
    portmapper_ = torvex_test::FreeLoopbackPort();
    ASSERT_NE(portmapper_, 0);
    fw_.Start({"--portmapper-port", std::to_string(portmapper_), "--nbns-ports", "0,0"});
    ASSERT_TRUE(fw_.WaitForOutput("board: ready")) << fw_.Output();
    ASSERT_EQ(fw_.Board("field 1.5"), "ok");
    ASSERT_TRUE(WaitFor([&] { return (core_port_ = torvex_test::Vxi11CorePort(portmapper_)) != 0; }, 30s))
        << fw_.Output();
    auto client = Connect();
    ASSERT_NE(client, nullptr);
    const Vxi11Client::Reply reply = client->Query("*IDN?\n");
    ASSERT_TRUE(reply.Ok()) << reply.error;
    identity_ = reply.data;
    ASSERT_NE(identity_.find(','), std::string::npos) << identity_;
  }
  void TearDown() override {
    fw_.Signal(SIGTERM);
    EXPECT_EQ(fw_.WaitForExit(), 0) << fw_.Output();
  }

  // A new connection with one link to inst0, or null.
  std::unique_ptr<Vxi11Client> Connect(bool lock_device = false) {
    auto client = std::make_unique<Vxi11Client>();
    if (!client->Connect(core_port_) || !client->CreateLink(lock_device).Ok()) return nullptr;
    return client;
  }
  std::unique_ptr<WellBehavedClient> StartWellBehaved(std::uint32_t io_timeout = 5000) {
    auto client = std::make_unique<WellBehavedClient>(core_port_, identity_, io_timeout);
    EXPECT_TRUE(client->Connected());
    return client;
  }
  static void Report(const char* what, WellBehavedClient& client) {
    std::printf("well-behaved client, %s: %s\n", what, client.Summary().c_str());
  }

  FirmwareProcess fw_;
  std::uint16_t portmapper_ = 0;
  std::uint16_t core_port_ = 0;
  std::string identity_;
};

// A query written while another link's measurement runs waits for it (its response is set aside for
// its link) and gets its own answer; the measuring link reads its own result afterwards.
TEST_F(Vxi11LinksFirmware, AQueryDuringAnotherLinksMeasurementGetsItsOwnAnswer) {
  auto measuring = Connect();
  auto asking = Connect();
  ASSERT_TRUE(measuring && asking);
  for (std::uint32_t io_timeout : {60u, 60u, 100u, 100u, 200u, 400u}) {
    ASSERT_TRUE(measuring->Write(kMeasure).Ok());
    const Vxi11Client::Reply answer = asking->Query("*IDN?\n", io_timeout);
    // In time, or a time-out of its own when the measurement took longer: never the other's result.
    EXPECT_TRUE(answer.Ok() ? answer.data == identity_ : answer.error == torvex_test::kVxi11ErrorIoTimeout)
        << answer.error << " '" << answer.data << "'";
    const Vxi11Client::Reply measured = measuring->Read(10000);
    EXPECT_TRUE(measured.Ok()) << measured.error;
    EXPECT_TRUE(IsMeasurement(measured.data)) << measured.data;
  }
}

// One client measures, two ask *IDN?, one aborts its own reads of measurements 50 ms after asking:
// every reply of every link is its own.
TEST_F(Vxi11LinksFirmware, AnAbortedReadNeverHandsItsResponseToAnotherLink) {
  constexpr int kAbortRounds = 40;
  std::atomic<bool> stop{false};
  std::atomic<int> crossed{0};
  std::mutex mutex;
  std::vector<std::string> wrong;
  auto note = [&](const std::string& who, const Vxi11Client::Reply& reply) {
    ++crossed;
    std::lock_guard<std::mutex> hold(mutex);
    wrong.push_back(who + ": error " + std::to_string(reply.error) + " '" + reply.data + "'");
  };
  auto measurer = std::thread([&] {
    auto client = Connect();
    while (client && !stop.load()) {
      const Vxi11Client::Reply reply = client->Query(kMeasure, 10000);
      if (!reply.Ok() || !IsMeasurement(reply.data)) note("measurer", reply);
    }
  });
  std::vector<std::thread> askers;
  for (int k = 0; k < 2; ++k) {
    askers.emplace_back([&] {
      auto client = Connect();
      while (client && !stop.load()) {
        const Vxi11Client::Reply reply = client->Query("*IDN?\n", 10000);
        if (!reply.Ok() || reply.data != identity_) note("asker", reply);
      }
    });
  }
  auto aborting = Connect();
  ASSERT_TRUE(aborting && aborting->ConnectAbort());
  int aborted = 0;
  for (int round = 0; round < kAbortRounds; ++round) {
    ASSERT_TRUE(aborting->Write(kMeasure, 10000).Ok());
    ASSERT_TRUE(aborting->SendRead(10000));
    // The client's own pace: it gives up on its read 50 ms after asking (no condition to wait for).
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(aborting->Abort().Ok());
    const Vxi11Client::Reply reply = aborting->ReceiveRead(30s);
    ASSERT_TRUE(reply.answered);
    if (reply.error == torvex_test::kVxi11ErrorAbort) {
      ++aborted;
    } else if (reply.error != 0 || !IsMeasurement(reply.data)) {
      note("aborting", reply);
    }
    // Its next query is answered with its own answer, whatever was left of the aborted one.
    const Vxi11Client::Reply next = aborting->Query("*IDN?\n", 10000);
    if (!next.Ok() || next.data != identity_) note("aborting, next query", next);
  }
  stop = true;
  measurer.join();
  for (std::thread& t : askers) t.join();
  std::printf("%d of %d reads aborted\n", aborted, kAbortRounds);
  EXPECT_EQ(crossed.load(), 0);
  for (const std::string& w : wrong) ADD_FAILURE() << w;
}

// A read that comes while a command without reply is still being processed times out (nothing is
// owed to it), and the device takes the next message; the other client is not held up meanwhile.
TEST_F(Vxi11LinksFirmware, AReadWhileACommandIsProcessedTimesOutAndTheNextQueryIsAnswered) {
  auto well = StartWellBehaved();
  auto careless = Connect();
  ASSERT_TRUE(careless);
  for (int round = 0; round < 10; ++round) {
    ASSERT_TRUE(careless->Write("*CLS\n").Ok());
    const Vxi11Client::Reply early = careless->Read(50);
    EXPECT_EQ(early.error, torvex_test::kVxi11ErrorIoTimeout);
    const Vxi11Client::Reply next = careless->Query("*IDN?\n", 3000);
    EXPECT_TRUE(next.Ok()) << "round " << round << ": error " << next.error;
    EXPECT_EQ(next.data, identity_);
  }
  Report("while the other client read too early", *well);
  careless.reset();
  ASSERT_TRUE(well->WaitForQueries(5));
  well->Stop();
  Report("in all", *well);
  EXPECT_EQ(well->Failures(), 0) << well->FirstFailure();
}

// A device trigger in the middle of a client's message: the message goes on after it and is answered,
// and the device stays awake for every client.
TEST_F(Vxi11LinksFirmware, ATriggerInTheMiddleOfAMessageLeavesTheDeviceAwake) {
  auto well = StartWellBehaved(3000);
  auto careless = Connect();
  ASSERT_TRUE(careless);
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(careless->Write("*ID", 3000, 0).Ok());
    EXPECT_TRUE(careless->Trigger(3000).Ok());
    ASSERT_TRUE(careless->Write("N?\n", 3000).Ok());
    const Vxi11Client::Reply answer = careless->Read(3000);
    EXPECT_TRUE(answer.Ok()) << "round " << round << ": error " << answer.error;
    EXPECT_EQ(answer.data, identity_);
  }
  careless.reset();
  ASSERT_TRUE(well->WaitForQueries(5));
  well->Stop();
  Report("in all", *well);
  EXPECT_EQ(well->Failures(), 0) << well->FirstFailure();
}

// A read left waiting without limit by a client that then goes away (closes its connection, or aborts
// the read) holds nothing: the other client's queries are answered while it waits and after, and a
// device lock of the client that went is released.
TEST_F(Vxi11LinksFirmware, AReadLeftWaitingByAClientThatGoesAwayHoldsNothing) {
  enum class Leaves { kClosesTheConnection, kAbortsTheRead, kClosesHoldingTheLock };
  for (Leaves how : {Leaves::kClosesTheConnection, Leaves::kAbortsTheRead, Leaves::kClosesHoldingTheLock}) {
    SCOPED_TRACE(static_cast<int>(how));
    const bool locks = how == Leaves::kClosesHoldingTheLock;
    auto leaving = Connect();
    ASSERT_TRUE(leaving);
    if (locks) {
      ASSERT_TRUE(leaving->Lock().Ok());
    }
    ASSERT_TRUE(leaving->ConnectAbort());
    ASSERT_TRUE(leaving->SendRead(torvex_test::kVxi11NoTimeout));
    auto other = Connect();
    ASSERT_TRUE(other);
    for (int k = 0; k < 3; ++k) {
      const Vxi11Client::Reply reply = other->Query("*IDN?\n", 1000);
      if (locks) {
        EXPECT_EQ(reply.error, torvex_test::kVxi11ErrorLocked);
      } else {
        EXPECT_TRUE(reply.Ok()) << reply.error;
        EXPECT_EQ(reply.data, identity_);
      }
    }
    if (how == Leaves::kAbortsTheRead) {
      EXPECT_TRUE(leaving->Abort().Ok());
      const Vxi11Client::Reply ended = leaving->ReceiveRead(5s);
      EXPECT_TRUE(ended.answered);
      EXPECT_EQ(ended.error, torvex_test::kVxi11ErrorAbort);
      const Vxi11Client::Reply again = leaving->Query("*IDN?\n", 3000);
      EXPECT_TRUE(again.Ok()) << again.error;
    } else {
      leaving->Close();
    }
    // After it went: its lock is free (within the lock wait), and queries and a device clear of the other
    // links work within their time.
    const Vxi11Client::Reply lock = other->Lock(torvex_test::kVxi11FlagWaitLock, 2000);
    EXPECT_TRUE(lock.Ok()) << lock.error;
    EXPECT_TRUE(other->Unlock().Ok());
    auto well = StartWellBehaved(2000);
    ASSERT_TRUE(well->WaitForQueries(5));
    const Vxi11Client::Reply clear = other->Clear(2000);
    EXPECT_TRUE(clear.Ok()) << clear.error;
    ASSERT_TRUE(well->WaitForQueries(5));
    well->Stop();
    Report("after the client went", *well);
    EXPECT_EQ(well->Failures(), 0) << well->FirstFailure();
  }
}

// Links that write a query and never read (eight connections of ten links each): each response is kept
// for its own link (every late read gets its own answer), and the other client's queries are not held
// up by them.
TEST_F(Vxi11LinksFirmware, ResponsesOfLinksThatDoNotReadAreKeptForThem) {
  constexpr int kConnections = 8;
  constexpr int kLinksEach = 10;
  std::vector<std::unique_ptr<Vxi11Client>> silent;
  std::vector<std::uint32_t> lids;
  auto well = StartWellBehaved(2000);
  for (int c = 0; c < kConnections; ++c) {
    silent.push_back(Connect());
    ASSERT_TRUE(silent.back());
    for (int l = 0; l < kLinksEach; ++l) {
      if (l > 0) {
        ASSERT_TRUE(silent.back()->CreateLink().Ok());
      }
      lids.push_back(silent.back()->Lid());
      const int k = static_cast<int>(lids.size());
      const Vxi11Client::Reply written = silent.back()->Write("*ESE " + std::to_string(k) + ";*ESE?\n", 5000);
      ASSERT_TRUE(written.Ok()) << k << ": " << written.error;
    }
  }
  ASSERT_TRUE(well->WaitForQueries(3));
  Report("beside links that do not read", *well);
  for (int k = 1; k <= static_cast<int>(lids.size()); ++k) {
    Vxi11Client& client = *silent[static_cast<std::size_t>((k - 1) / kLinksEach)];
    client.UseLid(lids[static_cast<std::size_t>(k - 1)]);
    const Vxi11Client::Reply late = client.Read(2000);
    EXPECT_TRUE(late.Ok()) << k << ": error " << late.error;
    EXPECT_EQ(late.data, std::to_string(k) + "\n") << k;
    EXPECT_EQ(late.value & torvex_test::kVxi11ReasonEnd, torvex_test::kVxi11ReasonEnd) << k;
  }
  // Nothing more is owed to them: a read is a time-out, not an empty success.
  const Vxi11Client::Reply nothing = silent.front()->Read(100);
  EXPECT_EQ(nothing.error, torvex_test::kVxi11ErrorIoTimeout);
  well->Stop();
  Report("in all", *well);
  EXPECT_EQ(well->Failures(), 0) << well->FirstFailure();
}

// Four clients abort their own reads and eight clear the device at random: a well-behaved client's
// queries are answered within their time-out all along.
TEST_F(Vxi11LinksFirmware, AbortAndClearStormsDelayAWellBehavedClientOnlyBriefly) {
  auto well = StartWellBehaved(3000);
  std::atomic<bool> stop{false};
  std::atomic<int> unexpected{0};
  std::vector<std::thread> storm;
  for (int k = 0; k < 4; ++k) {
    storm.emplace_back([&, k] {
      auto client = Connect();
      if (!client || !client->ConnectAbort()) {
        ++unexpected;
        return;
      }
      std::mt19937 random(static_cast<unsigned>(k));
      while (!stop.load()) {
        if (!client->Write(k % 2 == 0 ? kMeasure : "*IDN?\n", 3000).answered || !client->SendRead(3000)) {
          ++unexpected;
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40));  // the client's own pace
        if (!client->Abort().answered || !client->ReceiveRead(30s).answered) {
          ++unexpected;
          return;
        }
      }
    });
  }
  for (int k = 0; k < 8; ++k) {
    storm.emplace_back([&, k] {
      auto client = Connect();
      std::mt19937 random(static_cast<unsigned>(100 + k));
      while (client && !stop.load()) {
        if (random() % 2 == 0) client->Write("*IDN?\n", 3000);
        if (!client->Clear(3000).answered) {
          ++unexpected;
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));  // the client's own pace
      }
    });
  }
  // The storm lasts while the well-behaved client asks 30 times.
  EXPECT_TRUE(well->WaitForQueries(30, 120s));
  Report("during the storm", *well);
  stop = true;
  for (std::thread& t : storm) t.join();
  ASSERT_TRUE(well->WaitForQueries(5));
  well->Stop();
  Report("in all", *well);
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_GT(well->Queries(), 10);
  EXPECT_EQ(well->Failures(), 0) << well->FirstFailure();
}

// Every refusal caused by another link's lock answers "device locked by another link" (11), with or
// without waitlock; a real I/O time-out stays 15.
TEST_F(Vxi11LinksFirmware, RefusalsBecauseOfAnotherLinksLockAnswerDeviceLocked) {
  auto holder = Connect();
  ASSERT_TRUE(holder && holder->Lock().Ok());
  auto other = Connect();
  ASSERT_TRUE(other);
  using Call = Vxi11Client::Reply (*)(Vxi11Client&);
  struct Case {
    const char* name;
    Call call;
  };
  const Case cases[] = {
      {"device_lock", [](Vxi11Client& c) { return c.Lock(); }},
      {"device_lock with waitlock", [](Vxi11Client& c) { return c.Lock(torvex_test::kVxi11FlagWaitLock, 100); }},
      {"device_write", [](Vxi11Client& c) { return c.Write("*IDN?\n", 1000); }},
      {"device_write with waitlock",
       [](Vxi11Client& c) { return c.Write("*IDN?\n", 1000, torvex_test::kVxi11FlagEnd | 1, 100); }},
      {"device_read", [](Vxi11Client& c) { return c.Read(1000); }},
      {"device_readstb", [](Vxi11Client& c) { return c.ReadStb(1000); }},
      {"device_clear", [](Vxi11Client& c) { return c.Clear(1000); }},
  };
  for (const Case& c : cases) {
    const Vxi11Client::Reply reply = c.call(*other);
    EXPECT_TRUE(reply.answered) << c.name;
    EXPECT_EQ(reply.error, torvex_test::kVxi11ErrorLocked) << c.name;
  }
  Vxi11Client locking;
  ASSERT_TRUE(locking.Connect(core_port_));
  const Vxi11Client::Reply created = locking.CreateLink(true, 100);
  EXPECT_EQ(created.error, torvex_test::kVxi11ErrorLocked);
  EXPECT_EQ(created.value, 0u);

  ASSERT_TRUE(holder->Unlock().Ok());
  const Vxi11Client::Reply answered = other->Query("*IDN?\n", 2000);
  EXPECT_TRUE(answered.Ok()) << answered.error;
  // Nothing to read: a time-out of its own.
  EXPECT_EQ(other->Read(100).error, torvex_test::kVxi11ErrorIoTimeout);
}

}  // namespace
