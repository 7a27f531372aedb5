// CThread start handshake and life cycle; CRecursiveMutex nesting and owner rules.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "core/CRecursiveMutex.h"
#include "core/CThread.h"

namespace {

using namespace Torvex;

class ReturningThread : public CThread {
 public:
  ReturningThread() : CThread(kTopologyMonitorThread) {}
  std::atomic<int> runs{0};

 protected:
  void ThreadMain() override { runs.fetch_add(1); }
};

// Waits on a semaphore that outlives it (members of a derived class are gone before the base
// destructor joins the thread).
class BlockingThread : public CThread {
 public:
  explicit BlockingThread(cyg_sem_t* go) : CThread(kKeepAliveThread), go_(go) {}
  std::atomic<bool> entered{false};

 protected:
  void ThreadMain() override {
    entered = true;
    cyg_semaphore_wait(go_);
  }

 private:
  cyg_sem_t* go_;
};

TEST(CThreadTest, StartReturnsOnceTheThreadRunsAndAReturningBodyExits) {
  ReturningThread t;
  EXPECT_EQ(t.runs.load(), 0) << "created suspended";
  t.Start();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (cyg_thread_is_running(t.Handle()) && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  EXPECT_FALSE(cyg_thread_is_running(t.Handle())) << "the thread exits after ThreadMain returns";
  EXPECT_EQ(t.runs.load(), 1);
}

TEST(CThreadTest, ThreadRecordsItsAttributes) {
  ReturningThread t;
  const auto info = platform::kernel::GetThreadInfo(t.Handle());
  EXPECT_STREQ(info.name, "Topology Monitor Thread");
  EXPECT_EQ(info.priority, 15);
  EXPECT_EQ(info.stack_size, 9920u);
  EXPECT_NE(info.stack_base, nullptr) << "a heap stack of the given size";
}

TEST(CThreadTest, DestroyJoinsAfterTheBodyEnds) {
  cyg_sem_t go;
  cyg_semaphore_init(&go, 0);
  auto* t = new BlockingThread(&go);
  t->Start();
  while (!t->entered.load()) std::this_thread::yield();  // the body runs
  std::atomic<bool> destroyed{false};
  std::thread destroyer([&] {
    delete t;
    destroyed = true;
  });
  for (int i = 0; i < 2000; ++i) std::this_thread::yield();
  EXPECT_FALSE(destroyed.load()) << "must not free the stack under a running thread";
  cyg_semaphore_post(&go);
  destroyer.join();
  EXPECT_TRUE(destroyed.load());
}

TEST(CThreadTest, DestroyingANeverStartedObjectDoesNotRunIt) {
  cyg_sem_t go;
  cyg_semaphore_init(&go, 0);
  auto* t = new BlockingThread(&go);
  delete t;  // returns at once: the body never ran, so nothing waits on `go`
}

TEST(CRecursiveMutexTest, NestingAndOwner) {
  CRecursiveMutex m;
  const cyg_handle_t self = cyg_thread_self();
  EXPECT_EQ(m.Owner(), 0u);
  ASSERT_TRUE(m.Lock());
  EXPECT_EQ(m.Count(), 1u);
  EXPECT_EQ(m.Owner(), self);
  ASSERT_TRUE(m.Lock());
  EXPECT_EQ(m.Count(), 2u);
  m.Unlock();
  EXPECT_EQ(m.Count(), 1u) << "Lock, Lock, Unlock leaves it held";
  EXPECT_EQ(m.Owner(), self);

  std::atomic<bool> other_got{false};
  std::thread other([&] {
    ASSERT_TRUE(m.Lock());
    other_got = true;
    EXPECT_EQ(m.Count(), 1u);
    m.Unlock();
  });
  for (int i = 0; i < 2000; ++i) std::this_thread::yield();
  EXPECT_FALSE(other_got.load()) << "a second thread blocks until the final Unlock";
  m.Unlock();
  other.join();
  EXPECT_TRUE(other_got.load());
  EXPECT_EQ(m.Owner(), 0u);
  EXPECT_EQ(m.Count(), 0u);
}

TEST(CRecursiveMutexTest, UnlockByANonOwnerChangesNothing) {
  CRecursiveMutex m;
  // Free lock: an Unlock must not unlock a kernel mutex nobody holds.
  m.Unlock();
  EXPECT_EQ(m.Count(), 0u);
  ASSERT_TRUE(m.Lock());
  m.Unlock();
  EXPECT_EQ(m.Owner(), 0u);

  // Held by this thread: another thread's Unlock leaves it held.
  ASSERT_TRUE(m.Lock());
  std::thread intruder([&] { m.Unlock(); });
  intruder.join();
  EXPECT_EQ(m.Owner(), cyg_thread_self());
  EXPECT_EQ(m.Count(), 1u);
  std::atomic<bool> got{false};
  std::thread other([&] {
    m.Lock();
    got = true;
    m.Unlock();
  });
  for (int i = 0; i < 2000; ++i) std::this_thread::yield();
  EXPECT_FALSE(got.load()) << "still excluded after the intruder's Unlock";
  m.Unlock();
  other.join();
  EXPECT_TRUE(got.load());
}

TEST(CRecursiveMutexTest, BrokenWaitRecordsNoOwnership) {
  CRecursiveMutex m;
  ASSERT_TRUE(m.Lock());
  std::atomic<cyg_handle_t> waiter{0};
  std::atomic<int> result{-1};
  std::thread t([&] {
    waiter = cyg_thread_self();
    result = m.Lock() ? 1 : 0;
  });
  while (waiter.load() == 0) std::this_thread::yield();
  // Release until the wait is really broken (the release may come before it blocks: it then breaks
  // the next wait, which is the same one).
  cyg_thread_release(waiter.load());
  t.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(m.Owner(), cyg_thread_self()) << "ownership unchanged";
  EXPECT_EQ(m.Count(), 1u);
  m.Unlock();
  EXPECT_EQ(m.Owner(), 0u);
}

// Bounded stress for the thread sanitizer: nested locking from several threads guarding a counter.
TEST(CRecursiveMutexTest, StressNestedLocking) {
  CRecursiveMutex m;
  long counter = 0;
  constexpr int kThreads = 6, kRounds = 2000;
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      for (int r = 0; r < kRounds; ++r) {
        CRecursiveLockGuard outer(m);
        CRecursiveLockGuard inner(m);
        ++counter;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
  EXPECT_EQ(m.Count(), 0u);
}

}  // namespace
