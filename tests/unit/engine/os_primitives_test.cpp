// The operating-system classes of the instrument-interface layer: semaphore bounds and tick rounding,
// the thread start handshake and join, sockets (wake-up by shut-down, no SIGPIPE, connect time-out),
// the USB device's interrupt path and the list template.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "engine/COSListenSocket.h"
#include "engine/COSMutex.h"
#include "engine/COSSemaphore.h"
#include "engine/COSSocket.h"
#include "engine/COSThread.h"
#include "engine/COSUdpSocket.h"
#include "engine/COSUsbDeviceManager.h"
#include "engine/CSdkList.h"
#include "engine/DoVovuriStatus.h"
#include "platform/interrupt.h"
#include "support/wait_for.h"

namespace {

using torvex_test::WaitFor;

constexpr std::uint32_t kLoopback = 0x7F000001;

// --- semaphore ----------------------------------------------------------------------------------------

struct TickCase {
  std::uint32_t ms;
  cyg_tick_count_t ticks;
};

TEST(OsSemaphore, TimeoutRoundsDownToTicksOfTenMsAtLeastOne) {
  const TickCase cases[] = {{1, 1}, {5, 1}, {9, 1}, {10, 1}, {19, 1}, {25, 2}, {100, 10}, {10000, 1000}};
  for (const TickCase& c : cases) EXPECT_EQ(COSSemaphore::TicksFor(c.ms), c.ticks) << c.ms;
}

TEST(OsSemaphore, TimedWaitWithoutPostLastsItsTicksAndReportsTimeout) {
  COSSemaphore sem;
  sem.Init(0, 1);
  for (std::uint32_t ms : {5u, 25u}) {
    const cyg_tick_count_t start = cyg_current_time();
    std::uint32_t status = kStatusNotReported;
    EXPECT_FALSE(sem.Wait(ms, &status));
    EXPECT_EQ(status, kOsStatusTimedOut);
    EXPECT_GE(cyg_current_time() - start, COSSemaphore::TicksFor(ms)) << ms;
  }
  std::uint32_t status = kStatusNotReported;
  EXPECT_FALSE(sem.Wait(0, &status));  // only tries
  EXPECT_EQ(status, kOsStatusTimedOut);
  sem.Post();
  EXPECT_TRUE(sem.Wait(0, &status));
  EXPECT_EQ(status, 0u);
  sem.Destroy();
}

TEST(OsSemaphore, PostsBeyondTheMaximumAreDropped) {
  COSSemaphore sem;
  sem.Init(0, 1);
  for (int i = 0; i < 3; ++i) sem.Post();
  EXPECT_EQ(sem.Count(), 1);
  std::uint32_t status = kStatusNotReported;
  EXPECT_TRUE(sem.Wait(0, &status));
  EXPECT_FALSE(sem.Wait(0, &status));  // a maximum of 1 lets exactly one wait pass
  sem.Destroy();

  COSSemaphore queue;
  queue.Init(0, 10);
  for (int i = 0; i < 12; ++i) queue.Post();
  EXPECT_EQ(queue.Count(), 10);
  queue.Destroy();
}

TEST(OsSemaphore, ConcurrentPostersNeverPassTheMaximum) {
  constexpr std::int32_t kMaximum = 2;
  COSSemaphore sem;
  sem.Init(0, kMaximum);
  std::atomic<bool> stop{false};
  std::atomic<std::int32_t> highest{0};
  // Every poster starts at once and keeps posting while the watcher takes, so posts meet at the
  // bound again and again.
  std::atomic<int> ready{0};
  std::vector<std::thread> posters;
  for (int t = 0; t < 6; ++t) {
    posters.emplace_back([&] {
      ready.fetch_add(1);
      while (ready.load() < 6) {
      }
      for (int i = 0; i < 10000; ++i) {
        sem.Post();
        const std::int32_t c = sem.Count();
        std::int32_t seen = highest.load();
        while (c > seen && !highest.compare_exchange_weak(seen, c)) {
        }
      }
    });
  }
  std::thread watcher([&] {
    std::uint32_t status = 0;
    while (!stop.load()) sem.Wait(0, &status);
  });
  for (std::thread& t : posters) t.join();
  stop.store(true);
  watcher.join();
  EXPECT_LE(sem.Count(), kMaximum);
  EXPECT_LE(highest.load(), kMaximum);
  sem.Destroy();
}

TEST(OsSemaphore, BrokenWaitIsNeverReportedAsTaken) {
  COSSemaphore sem;
  sem.Init(0, 1);
  std::atomic<cyg_handle_t> waiter{0};
  std::atomic<int> result{-1};
  std::atomic<std::uint32_t> wait_status{kStatusNotReported};
  std::thread t([&] {
    waiter.store(cyg_thread_self());
    std::uint32_t status = kStatusNotReported;
    result.store(sem.Wait(COSSemaphore::kWaitForever, &status) ? 1 : 0);
    wait_status.store(status);
  });
  ASSERT_TRUE(WaitFor([&] { return waiter.load() != 0; }));
  cyg_thread_release(waiter.load());
  ASSERT_TRUE(WaitFor([&] { return result.load() != -1; }));
  t.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(wait_status.load(), kOsStatusTimedOut);
  // The semaphore still has its count: a later post is there for the next wait.
  sem.Post();
  std::uint32_t status = kStatusNotReported;
  EXPECT_TRUE(sem.Wait(0, &status));
  sem.Destroy();
}

TEST(OsMutex, LockReportsSuccessAndExcludes) {
  COSMutex mutex;
  mutex.Init();
  EXPECT_FALSE(mutex.IsFailed());
  int shared = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        std::uint32_t status = kStatusNotReported;
        ASSERT_TRUE(mutex.Lock(&status));
        EXPECT_EQ(status, 0u);
        ++shared;
        mutex.Unlock();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(shared, 4000);
  mutex.Destroy();
}

// --- threads ------------------------------------------------------------------------------------------

// A thread whose body reports `state`, then (when running) waits for `release`.
class CTestThread : public COSThread {
 public:
  CTestThread(std::int32_t state, std::atomic<bool>* release, std::atomic<bool>* finished)
      : state_to_report_(state), release_(release), finished_(finished) {}
  ~CTestThread() override { Join(); }
  bool IsFailed() override { return false; }
  std::atomic<bool> ran{false};

 protected:
  void Run() override {
    SetState(state_to_report_);
    ran.store(true);
    SignalStarted();
    if (state_to_report_ == kStateRunning) {
      while (!release_->load()) cyg_thread_yield();
    }
    finished_->store(true);
  }

 private:
  std::int32_t state_to_report_;
  std::atomic<bool>* release_;
  std::atomic<bool>* finished_;
};

TEST(OsThread, StartReportsWhatTheBodySays) {
  struct Case {
    std::int32_t state;
    std::uint32_t status;
  };
  for (const Case& c : {Case{COSThread::kStateRunning, 0u}, Case{COSThread::kStateCannotRun, kOsStatusNotStarted}}) {
    std::atomic<bool> release{true};
    std::atomic<bool> finished{false};
    CTestThread thread(c.state, &release, &finished);
    std::uint32_t status = kStatusNotReported;
    thread.Start(8, &status);
    EXPECT_EQ(status, c.status) << c.state;
    EXPECT_EQ(platform::kernel::GetThreadInfo(thread.Handle()).priority, 8);
    EXPECT_STREQ(platform::kernel::GetThreadInfo(thread.Handle()).name, "DO-Vovuri");
    thread.Join();
    EXPECT_TRUE(finished.load());
  }
}

TEST(OsThread, JoinWaitsForTheEndOfRun) {
  std::atomic<bool> release{false};
  std::atomic<bool> finished{false};
  CTestThread thread(COSThread::kStateRunning, &release, &finished);
  std::uint32_t status = kStatusNotReported;
  thread.Start(15, &status);
  ASSERT_EQ(status, 0u);
  std::atomic<bool> joined{false};
  std::thread joiner([&] {
    thread.Join();
    joined.store(true);
  });
  // The joiner cannot pass while the body runs.
  EXPECT_FALSE(WaitFor([&] { return joined.load(); }, std::chrono::milliseconds(50)));
  release.store(true);
  ASSERT_TRUE(WaitFor([&] { return joined.load(); }));
  joiner.join();
  EXPECT_TRUE(finished.load());
}

TEST(OsThread, JoinOfAThreadNeverStartedReturnsAtOnce) {
  std::atomic<bool> release{true};
  std::atomic<bool> finished{false};
  auto thread = std::make_unique<CTestThread>(COSThread::kStateRunning, &release, &finished);
  thread->Join();
  thread.reset();  // discarded without ever running
  EXPECT_FALSE(finished.load());
}

// Its body uses nothing of the object after the start, so only the base destructor's join stands
// between its deletion and a kernel thread deleted while it runs.
class CDetachedBodyThread : public COSThread {
 public:
  CDetachedBodyThread(std::atomic<bool>* release, std::atomic<bool>* finished)
      : release_(release), finished_(finished) {}
  bool IsFailed() override { return false; }

 protected:
  void Run() override {
    std::atomic<bool>* release = release_;
    std::atomic<bool>* finished = finished_;
    SetState(kStateRunning);
    SignalStarted();
    while (!release->load()) cyg_thread_yield();
    finished->store(true);
  }

 private:
  std::atomic<bool>* release_;
  std::atomic<bool>* finished_;
};

TEST(OsThread, DestroyingARunningThreadJoinsFirst) {
  std::atomic<bool> release{false};
  std::atomic<bool> finished{false};
  auto* thread = new CDetachedBodyThread(&release, &finished);
  std::uint32_t status = kStatusNotReported;
  thread->Start(15, &status);
  ASSERT_EQ(status, 0u);
  std::atomic<bool> deleted{false};
  std::atomic<bool> finished_before_delete_returned{false};
  std::thread deleter([&] {
    delete thread;
    finished_before_delete_returned.store(finished.load());
    deleted.store(true);
  });
  EXPECT_FALSE(WaitFor([&] { return deleted.load(); }, std::chrono::milliseconds(50)));
  release.store(true);
  ASSERT_TRUE(WaitFor([&] { return deleted.load(); }));
  deleter.join();
  EXPECT_TRUE(finished_before_delete_returned.load());
}

// --- TCP sockets --------------------------------------------------------------------------------------

struct TcpPair {
  COSListenSocket listener;
  COSSocket client;
  COSSocket server;
};

void Connect(TcpPair* p) {
  std::uint32_t status = kStatusNotReported;
  p->listener.CreateTcp(&status);
  ASSERT_EQ(status, 0u);
  p->listener.BindAndListen(0, &status, kLoopback);
  ASSERT_EQ(status, 0u);
  ASSERT_NE(p->listener.GetPort(), 0);
  p->client.CreateTcp(&status);
  ASSERT_EQ(status, 0u);
  p->client.Connect(kLoopback, p->listener.GetPort(), 1000, &status);
  ASSERT_EQ(status, 0u);
  EXPECT_EQ(p->client.peer_address, kLoopback);
  EXPECT_EQ(p->client.peer_port, p->listener.GetPort());
  p->server = COSListenSocket::Accept(&p->listener, &status);
  ASSERT_EQ(status, 0u);
  EXPECT_EQ(p->server.local_port, p->listener.GetPort());
  EXPECT_EQ(p->server.peer_port, p->client.local_port);
  EXPECT_EQ(p->server.peer_address, kLoopback);
}

TEST(OsSocket, BytesTravelAndAClosedPeerReadsAsFailure) {
  TcpPair p;
  Connect(&p);
  std::uint32_t status = kStatusNotReported;
  EXPECT_EQ(p.client.Send("hello", 5, &status), 5u);
  char buffer[16] = {};
  EXPECT_EQ(p.server.Receive(buffer, sizeof buffer, &status), 5u);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(std::memcmp(buffer, "hello", 5), 0);
  p.client.Close();
  EXPECT_EQ(p.client.fd, -1);
  EXPECT_EQ(p.server.Receive(buffer, sizeof buffer, &status), 0u);
  EXPECT_EQ(status, kOsStatusSocketError);
  EXPECT_EQ(p.client.Receive(buffer, sizeof buffer, &status), 0u);  // no socket
  EXPECT_EQ(status, kOsStatusSocketError);
  p.server.Close();
  p.listener.Close();
}

TEST(OsSocket, SendingToAVanishedPeerFailsWithoutASignal) {
  TcpPair p;
  Connect(&p);
  p.server.Close();
  std::uint32_t status = 0;
  char chunk[4096] = {};
  // The first sends may still be accepted; once the reset is back, send fails (without SIGPIPE the
  // process goes on to see it).
  for (int i = 0; i < 100 && status == 0; ++i) p.client.Send(chunk, sizeof chunk, &status);
  EXPECT_EQ(status, kOsStatusSocketError);
  p.client.Close();
  p.listener.Close();
}

TEST(OsSocket, ShutdownWakesABlockedReceiveAndAccept) {
  TcpPair p;
  Connect(&p);
  std::atomic<int> received{-1};
  std::atomic<std::uint32_t> receive_status{0};
  std::thread reader([&] {
    char buffer[8];
    std::uint32_t status = kStatusNotReported;
    received.store(static_cast<int>(p.server.Receive(buffer, sizeof buffer, &status)));
    receive_status.store(status);
  });
  std::atomic<bool> accepted{false};
  std::atomic<std::uint32_t> accept_status{0};
  std::atomic<int> accepted_fd{0};
  std::thread acceptor([&] {
    std::uint32_t status = kStatusNotReported;
    COSSocket s = COSListenSocket::Accept(&p.listener, &status);
    accepted_fd.store(s.fd);
    accept_status.store(status);
    accepted.store(true);
  });
  EXPECT_FALSE(WaitFor([&] { return received.load() != -1 || accepted.load(); }, std::chrono::milliseconds(30)));
  p.server.Shutdown();
  p.listener.Shutdown();
  reader.join();
  acceptor.join();
  EXPECT_EQ(received.load(), 0);
  EXPECT_EQ(receive_status.load(), kOsStatusSocketError);
  EXPECT_EQ(accept_status.load(), kOsStatusSocketError);
  EXPECT_EQ(accepted_fd.load(), -1);
  // Closed only after the join.
  p.server.Close();
  p.listener.Close();
  p.client.Close();
}

TEST(OsSocket, ConnectGivesUpAtItsTimeout) {
  // A listener with a full accept queue drops further handshakes, so a connect to it can only end by
  // its time-out.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(kLoopback);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  socklen_t len = sizeof sa;
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len), 0);
  const std::uint16_t port = ntohs(sa.sin_port);

  std::vector<COSSocket> clients;
  std::uint32_t status = 0;
  for (int i = 0; i < 16 && status != kOsStatusTimedOut; ++i) {
    COSSocket s;
    s.CreateTcp(&status);
    ASSERT_EQ(status, 0u);
    s.Connect(kLoopback, port, 200, &status);
    clients.push_back(s);
  }
  EXPECT_EQ(status, kOsStatusTimedOut);
  for (COSSocket& s : clients) s.Close();
  close(listener);
}

TEST(OsSocket, ConnectToAClosedPortFails) {
  COSListenSocket l;
  std::uint32_t status = kStatusNotReported;
  l.CreateTcp(&status);
  l.BindAndListen(0, &status, kLoopback);
  const std::uint16_t port = l.GetPort();
  l.Close();
  COSSocket s;
  s.CreateTcp(&status);
  s.Connect(kLoopback, port, 1000, &status);
  EXPECT_EQ(status, kOsStatusSocketError);
  s.Close();
}

// --- UDP sockets --------------------------------------------------------------------------------------

TEST(OsUdpSocket, TimeoutEmptyDatagramAndSender) {
  COSUdpSocket receiver;
  COSUdpSocket sender;
  std::uint32_t status = kStatusNotReported;
  receiver.Create(&status);
  receiver.Bind(0, &status, kLoopback);
  ASSERT_EQ(status, 0u);
  sender.Create(&status);
  sender.Bind(0, &status, kLoopback);
  ASSERT_EQ(status, 0u);
  char buffer[32];
  std::uint32_t from = 0;
  std::uint16_t from_port = 0;
  EXPECT_EQ(receiver.ReceiveFrom(buffer, sizeof buffer, 20, &from, &from_port, &status), 0u);
  EXPECT_EQ(status, kOsStatusTimedOut);

  sender.SendTo("", 0, kLoopback, receiver.LocalPort(), &status);
  ASSERT_EQ(status, 0u);
  EXPECT_EQ(receiver.ReceiveFrom(buffer, sizeof buffer, 1000, &from, &from_port, &status), 0u);
  EXPECT_EQ(status, kOsStatusSocketError);

  EXPECT_EQ(sender.SendTo("ping", 4, kLoopback, receiver.LocalPort(), &status), 4u);
  EXPECT_EQ(receiver.ReceiveFrom(buffer, sizeof buffer, COSUdpSocket::kNoTimeout, &from, &from_port, &status), 4u);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(from, kLoopback);
  EXPECT_EQ(from_port, sender.LocalPort());
  receiver.Close();
  sender.Close();
  EXPECT_EQ(receiver.ReceiveFrom(buffer, sizeof buffer, 0, &from, &from_port, &status), 0u);
  EXPECT_EQ(status, kOsStatusSocketError);
}

TEST(OsUdpSocket, ShutdownWakesAWaitWithoutTimeout) {
  COSUdpSocket receiver;
  std::uint32_t status = kStatusNotReported;
  receiver.Create(&status);
  receiver.Bind(0, &status, kLoopback);
  ASSERT_EQ(status, 0u);
  std::atomic<bool> done{false};
  std::atomic<std::uint32_t> receive_status{0};
  std::thread t([&] {
    char buffer[8];
    std::uint32_t s = kStatusNotReported;
    receiver.ReceiveFrom(buffer, sizeof buffer, COSUdpSocket::kNoTimeout, nullptr, nullptr, &s);
    receive_status.store(s);
    done.store(true);
  });
  EXPECT_FALSE(WaitFor([&] { return done.load(); }, std::chrono::milliseconds(30)));
  receiver.Shutdown();
  t.join();
  EXPECT_EQ(receive_status.load(), kOsStatusSocketError);
  receiver.Close();
}

TEST(OsByteOrder, SwapsTheFourBytes) {
  EXPECT_EQ(HostToNet32(0x11223344u), 0x44332211u);
  EXPECT_EQ(NetToHost32(HostToNet32(0xA1B2C3D4u)), 0xA1B2C3D4u);
}

// --- USB device ---------------------------------------------------------------------------------------

constexpr cyg_vector_t kUsbVector = 25;

class CAckHandler : public COSInterruptHandler {
 public:
  std::uint32_t Handle() override {
    cyg_interrupt_acknowledge(kUsbVector);
    calls.fetch_add(1);
    return 1;
  }
  std::atomic<int> calls{0};
};

class CBlockingHandler : public COSInterruptHandler {
 public:
  std::uint32_t Handle() override {
    entered.store(true);
    while (!release.load()) cyg_thread_yield();
    calls.fetch_add(1);
    return 0;
  }
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
  std::atomic<int> calls{0};
};

class CManager : public COSUsbDeviceManager {
 public:
  void RemoveDevice(COSUsbDevice* device) override { delete device; }
};

class OsUsbDevice : public ::testing::Test {
 protected:
  void SetUp() override { platform::interrupts::ResetController(); }
  void TearDown() override { platform::interrupts::ResetController(); }
};

TEST_F(OsUsbDevice, InterruptRunsPrimaryThenSecondaryOnItsThread) {
  CManager manager;
  std::uint32_t status = kStatusNotReported;
  COSUsbDevice* device = manager.CreateDevice(3, &status);
  ASSERT_EQ(status, 0u);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->GetDeviceNumber(), 3);
  const cyg_vector_t vectors[] = {kUsbVector, 0};
  device->AttachInterrupts(vectors, &status);
  ASSERT_EQ(status, 0u);
  EXPECT_EQ(device->InterruptCount(), 1u);
  CAckHandler primary;
  CBlockingHandler secondary;
  secondary.release.store(true);
  device->AttachHandlers(&primary, &secondary, &status);
  ASSERT_EQ(status, 0u);
  cyg_interrupt_unmask(kUsbVector);
  platform::interrupts::RaiseSource(kUsbVector);
  ASSERT_TRUE(WaitFor([&] { return secondary.calls.load() == 1; }));
  EXPECT_EQ(primary.calls.load(), 1);
  EXPECT_EQ(device->LastVector(), kUsbVector);
  device->DetachHandlers();
  platform::interrupts::RaiseSource(kUsbVector);
  ASSERT_TRUE(platform::interrupts::WaitIdle());
  EXPECT_EQ(primary.calls.load(), 1);
  manager.RemoveDevice(device);
}

TEST_F(OsUsbDevice, DetachWaitsForARunningSecondaryHandler) {
  CManager manager;
  std::uint32_t status = kStatusNotReported;
  COSUsbDevice* device = manager.CreateDevice(0, &status);
  ASSERT_NE(device, nullptr);
  const cyg_vector_t vectors[] = {kUsbVector, 7, 0};
  device->AttachInterrupts(vectors, &status);
  EXPECT_EQ(device->InterruptCount(), 2u);
  CAckHandler primary;
  CBlockingHandler secondary;
  device->AttachHandlers(&primary, &secondary, &status);
  cyg_interrupt_unmask(kUsbVector);
  platform::interrupts::RaiseSource(kUsbVector);
  ASSERT_TRUE(WaitFor([&] { return secondary.entered.load(); }));
  std::atomic<bool> detached{false};
  std::thread t([&] {
    device->DetachHandlers();
    detached.store(true);
  });
  EXPECT_FALSE(WaitFor([&] { return detached.load(); }, std::chrono::milliseconds(30)));
  secondary.release.store(true);
  t.join();
  EXPECT_EQ(secondary.calls.load(), 1);
  manager.RemoveDevice(device);  // stops and joins the interrupt thread
}

// --- list ---------------------------------------------------------------------------------------------

TEST(SdkList, PushPopRemoveAndWalk) {
  CSdkList<int> list;
  list.Init();
  EXPECT_TRUE(list.IsEmpty());
  int value = 0;
  EXPECT_FALSE(list.PopFront(&value));
  EXPECT_FALSE(list.Remove(1));
  for (int v : {1, 2, 3, 2}) ASSERT_TRUE(list.PushBack(v));
  EXPECT_TRUE(list.Remove(2));  // the first 2
  EXPECT_TRUE(list.Remove(2));  // the last node: the tail moves back
  ASSERT_TRUE(list.PushBack(4));
  std::vector<int> walked;
  CSdkList<int>::Cursor cursor;
  list.Begin(&cursor);
  while (list.Next(&cursor, &value)) walked.push_back(value);
  EXPECT_EQ(walked, (std::vector<int>{1, 3, 4}));
  EXPECT_FALSE(list.Next(&cursor, &value));
  EXPECT_FALSE(list.Remove(9));
  std::vector<int> popped;
  while (list.PopFront(&value)) popped.push_back(value);
  EXPECT_EQ(popped, (std::vector<int>{1, 3, 4}));
  EXPECT_TRUE(list.IsEmpty());
  ASSERT_TRUE(list.PushBack(5));  // head and tail were both reset
  EXPECT_TRUE(list.PopFront(&value));
  EXPECT_EQ(value, 5);
}

}  // namespace
