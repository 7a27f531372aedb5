// Link synchronisation: the device lock with lock_timeout, the queue order and promotion, the event
// gate (nesting suspensions, own-thread suspension, abort, close), and the link operation prologue on
// a bare interface (no engine device: entry points do nothing).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/CPhysicalInterfaceFactory.h"
#include "support/kernel_thread.h"
#include "support/wait_for.h"
#include "vxi11/CVxi11LinkManager.h"
#include "vxi11/CVxi11PhysicalInterface.h"
#include "vxi11_device_fixture.h"

namespace torvex_test {
namespace {

constexpr std::uint32_t kPending = 0xFFFFFFFFu;

// ---- lock manager ----

TEST(Vxi11LockManagerTest, SecondLinkTimesOutOrWaitsForTheOwner) {
  CVxi11LockManager locks;
  locks.Enable();
  std::uint32_t status = kPending;
  locks.Lock(1, 0, &status);
  ASSERT_EQ(status, 0u);
  // lock_timeout 0: a single try; refused because another link holds the lock (not an I/O time-out).
  locks.Lock(2, 0, &status);
  EXPECT_EQ(status, kVxi11StatusLockRefused);
  EXPECT_EQ(locks.Owner(), 1u);

  std::atomic<std::uint32_t> waited{kPending};
  std::thread second([&] {
    std::uint32_t s = kPending;
    locks.Lock(2, 10000, &s);
    waited = s;
  });
  // Still waiting while 1 holds the lock, then owner once 1 unlocks.
  std::this_thread::yield();
  EXPECT_EQ(waited.load(), kPending);
  locks.Unlock(1);
  second.join();
  EXPECT_EQ(waited.load(), 0u);
  EXPECT_EQ(locks.Owner(), 2u);
}

TEST(Vxi11LockManagerTest, TimedOutWaiterLeavesNoNodeBehind) {
  CVxi11LockManager locks;
  locks.Enable();
  std::uint32_t status = kPending;
  locks.Lock(1, 0, &status);
  const auto begin = std::chrono::steady_clock::now();
  locks.Lock(2, 50, &status);
  EXPECT_EQ(status, kVxi11StatusLockRefused);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(40));
  locks.Unlock(1);
  EXPECT_EQ(locks.Owner(), 0u);  // not handed to the link that gave up
}

TEST(Vxi11LockManagerTest, OwnerCountsUpAndDown) {
  CVxi11LockManager locks;
  locks.Enable();
  std::uint32_t status = kPending;
  locks.Lock(1, 0, &status);
  locks.Lock(1, 0, &status);  // the lock check of the owner's own I/O
  ASSERT_EQ(status, 0u);
  locks.Unlock(1);
  EXPECT_EQ(locks.Owner(), 1u);
  locks.Unlock(1);
  EXPECT_EQ(locks.Owner(), 0u);
}

TEST(Vxi11LockManagerTest, AbortAndDisableEndAWaitWithAborted) {
  for (bool disable : {false, true}) {
    CVxi11LockManager locks;
    locks.Enable();
    std::uint32_t status = kPending;
    locks.Lock(1, 0, &status);
    std::atomic<std::uint32_t> waited{kPending};
    std::thread second([&] {
      std::uint32_t s = kPending;
      locks.Lock(2, kVxi11WaitForever, &s);
      waited = s;
    });
    ASSERT_TRUE(WaitFor([&] { return locks.Waiters() == 1; }));
    ASSERT_TRUE(WaitFor([&] {
      if (disable) {
        locks.Disable();
      } else {
        locks.AbortWait(2);
      }
      return waited.load() != kPending;
    }));
    second.join();
    EXPECT_EQ(waited.load(), kVxi11StatusAborted) << disable;
    if (!disable) {
      EXPECT_EQ(locks.Owner(), 1u);
    } else {
      EXPECT_EQ(locks.Owner(), 0u);
      locks.Lock(3, 0, &status);
      EXPECT_EQ(status, kVxi11StatusLockRefused);  // disabled
    }
  }
}

// ---- queue ----

std::vector<std::uint32_t> Order(CVxi11LinkQueue& queue) {
  std::uint32_t lids[16];
  const int n = queue.Snapshot(lids, 16);
  return std::vector<std::uint32_t>(lids, lids + n);
}

struct QueueParts {
  CVxi11EventDispatcherGate gate;
  CVxi11IoCompletionWaiter waiter;
  CVxi11LockManager locks;
  CVxi11LinkQueue queue{&gate, &waiter, &locks};
  QueueParts() {
    queue.Enable();
    locks.Enable();
    waiter.Enable();
    gate.Reset();
  }
};

TEST(Vxi11LinkQueueTest, PromotionOvertakesOnlyEntriesStillInTheirLockCheck) {
  struct Case {
    std::vector<std::uint32_t> promote;
    std::vector<std::uint32_t> expected;
  };
  const Case cases[] = {
      {{}, {1, 2, 3}}, {{3}, {3, 1, 2}}, {{2, 3}, {2, 3, 1}}, {{3, 2}, {3, 2, 1}}, {{1, 3}, {1, 3, 2}},
  };
  for (const Case& c : cases) {
    QueueParts parts;
    std::uint32_t status = kPending;
    for (std::uint32_t lid : {1u, 2u, 3u}) {
      parts.queue.Enqueue(lid, &status);
      ASSERT_EQ(status, 0u);
    }
    for (std::uint32_t lid : c.promote) parts.queue.Promote(lid);
    EXPECT_EQ(Order(parts.queue), c.expected);
  }
}

TEST(Vxi11LinkQueueTest, OnlyTheHeadRunsAndDequeueWakesTheNext) {
  QueueParts parts;
  std::uint32_t status = kPending;
  parts.queue.Enqueue(1, &status);
  parts.queue.Enqueue(2, &status);
  parts.queue.WaitTurn(2, 0, &status);
  EXPECT_EQ(status, kVxi11StatusTimedOut);
  parts.queue.WaitTurn(1, 0, &status);
  EXPECT_EQ(status, 0u);
  std::atomic<std::uint32_t> turn{kPending};
  std::thread second([&] {
    std::uint32_t s = kPending;
    parts.queue.WaitTurn(2, 10000, &s);
    turn = s;
  });
  parts.queue.Dequeue(1);
  second.join();
  EXPECT_EQ(turn.load(), 0u);
  parts.queue.Dequeue(2);
  EXPECT_TRUE(Order(parts.queue).empty());
}

TEST(Vxi11LinkQueueTest, AbortEndsTheWaitForTheTurnOfThatLinkOnly) {
  QueueParts parts;
  std::uint32_t status = kPending;
  parts.queue.Enqueue(1, &status);
  parts.queue.Enqueue(2, &status);
  std::atomic<std::uint32_t> turn{kPending};
  std::thread second([&] {
    std::uint32_t s = kPending;
    parts.queue.WaitTurn(2, kVxi11WaitForever, &s);
    turn = s;
  });
  ASSERT_TRUE(WaitFor([&] {
    parts.queue.Abort(2);
    return turn.load() != kPending;
  }));
  second.join();
  EXPECT_EQ(turn.load(), kVxi11StatusAborted);
  EXPECT_FALSE(parts.queue.IsAborted());  // the head (link 1) runs on
  parts.queue.Dequeue(2);
  EXPECT_EQ(Order(parts.queue), std::vector<std::uint32_t>{1});
}

// ---- gate ----

TEST(Vxi11GateTest, SuspensionsNestAndTheTokenReturnsAtDepthZero) {
  CVxi11EventDispatcherGate gate;
  std::uint32_t status = kPending;
  gate.Pass(1, 0, &status);
  EXPECT_EQ(status, kVxi11StatusAborted);  // created closed
  gate.Reset();
  EXPECT_EQ(gate.Depth(), 1);  // enabled suspended once
  gate.Pass(1, 0, &status);
  EXPECT_EQ(status, kVxi11StatusTimedOut);
  gate.Resume();
  gate.Suspend();
  gate.Suspend();
  gate.Resume();
  gate.Pass(1, 20, &status);
  EXPECT_EQ(status, kVxi11StatusTimedOut) << "one suspension is still outstanding";
  // The last resume may come from another thread.
  std::thread([&] { gate.Resume(); }).join();
  EXPECT_EQ(gate.Depth(), 0);
  gate.Pass(1, 0, &status);
  EXPECT_EQ(status, 0u);
  gate.Leave();
  gate.Resume();  // one too many: counted, changes nothing
  EXPECT_EQ(gate.Violations(), 1);
  EXPECT_EQ(gate.Depth(), 0);
}

TEST(Vxi11GateTest, EngineSuspensionWaitsForTheLinkOperationOfAnotherThread) {
  CVxi11EventDispatcherGate gate;
  gate.Reset();
  gate.Resume();
  std::uint32_t status = kPending;
  gate.Pass(1, 0, &status);
  ASSERT_EQ(status, 0u);
  // The link operation calls into the engine, which suspends on the same thread: no wait.
  gate.Suspend();
  EXPECT_EQ(gate.Depth(), 1);
  gate.Resume();

  std::atomic<bool> suspended{false};
  std::thread engine([&] {
    gate.Suspend();
    suspended = true;
  });
  EXPECT_FALSE(WaitFor([&] { return suspended.load(); }, std::chrono::milliseconds(50)));
  gate.Leave();
  engine.join();
  EXPECT_TRUE(suspended.load());
  gate.Pass(2, 0, &status);
  EXPECT_EQ(status, kVxi11StatusTimedOut);
  gate.Resume();
  gate.Pass(2, 0, &status);
  EXPECT_EQ(status, 0u);
  gate.Leave();
}

TEST(Vxi11GateTest, AbortAndCloseEndAWaitAtTheGate) {
  for (bool close : {false, true}) {
    CVxi11EventDispatcherGate gate;
    gate.Reset();  // suspended once: a pass waits
    std::atomic<std::uint32_t> passed{kPending};
    std::thread link([&] {
      std::uint32_t s = kPending;
      gate.Pass(7, kVxi11WaitForever, &s);
      passed = s;
    });
    ASSERT_TRUE(WaitFor([&] {
      if (close) {
        gate.Close();
      } else {
        gate.AbortWait(7);
      }
      return passed.load() != kPending;
    }));
    link.join();
    EXPECT_EQ(passed.load(), kVxi11StatusAborted) << close;
    EXPECT_FALSE(gate.IsBusy());
  }
}

// ---- the prologue on a bare interface ----

class LinkGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DoVovuriDeviceDescriptor descriptor{};
    descriptor.size = kDeviceDescriptorSize;
    descriptor.interface_version = kDeviceInterfaceVersion;
    descriptor.plugin_id = kPluginIdVxi11;
    std::uint32_t status = kPending;
    auto* created = manager_.CreateInterface(&descriptor, 0, &status);
    ASSERT_EQ(status, 0u);
    interface_ = static_cast<CVxi11PhysicalInterface*>(created);
    interface_->Enable(nullptr, &status);
    ASSERT_EQ(status, 0u);
    interface_->ResumeEvents(&status);  // as the engine's enable does
    interface_->EnableTrigger(&status);
  }
  void TearDown() override { manager_.DestroyInterface(interface_); }

  std::uint32_t Trigger(std::uint32_t lid, bool waitlock, std::uint32_t lock_timeout, std::uint32_t io_timeout) {
    std::uint32_t status = kPending;
    interface_->LinkTrigger({lid, waitlock, lock_timeout, io_timeout}, &status);
    return status;
  }

  CVxi11LinkManager table_;
  CVxi11PhysicalInterfaceManager manager_;
  CVxi11PhysicalInterface* interface_ = nullptr;
};

TEST_F(LinkGuardTest, LockHeldByAnotherLinkRefusesOrWaits) {
  std::uint32_t status = kPending;
  interface_->LinkLock(1, false, 0, &status);
  ASSERT_EQ(status, 0u);
  EXPECT_EQ(Trigger(1, false, 0, 1000), 0u);  // the owner itself passes
  // Without waitlock at once, with it after lock_timeout: "device locked by another link".
  EXPECT_EQ(Trigger(2, false, 0, 1000), kVxi11StatusLockRefused);
  EXPECT_EQ(Trigger(2, true, 30, 1000), kVxi11StatusLockRefused);
  std::atomic<std::uint32_t> waited{kPending};
  std::thread second([&] { waited = Trigger(2, true, 10000, 1000); });
  // Link 1 runs past the waiting link 2 (promoted): its own operations go on.
  EXPECT_EQ(Trigger(1, false, 0, 1000), 0u);
  EXPECT_EQ(waited.load(), kPending);
  interface_->LinkUnlock(1, &status);
  second.join();
  EXPECT_EQ(waited.load(), 0u);
  EXPECT_EQ(interface_->Locks()->Owner(), 0u);
}

TEST_F(LinkGuardTest, IoTimeoutEndsAWaitAtTheSuspendedGate) {
  std::uint32_t status = kPending;
  interface_->SuspendEvents(&status);
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(Trigger(1, false, 0, 60), kVxi11StatusTimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(50));
  EXPECT_EQ(Trigger(1, false, 0, 0), kVxi11StatusTimedOut);  // io_timeout 0: a try
  interface_->ResumeEvents(&status);
  EXPECT_EQ(Trigger(1, false, 0, 0), 0u);
}

TEST_F(LinkGuardTest, NestedSuspensionHoldsLinksUntilTheLastResume) {
  std::uint32_t status = kPending;
  interface_->SuspendEvents(&status);
  interface_->SuspendEvents(&status);
  interface_->ResumeEvents(&status);
  EXPECT_EQ(Trigger(1, false, 0, 30), kVxi11StatusTimedOut);
  std::atomic<std::uint32_t> result{kPending};
  std::thread link([&] { result = Trigger(1, false, 0, 10000); });
  EXPECT_FALSE(WaitFor([&] { return result.load() != kPending; }, std::chrono::milliseconds(30)));
  interface_->ResumeEvents(&status);
  link.join();
  EXPECT_EQ(result.load(), 0u);
  EXPECT_EQ(interface_->Gate()->Depth(), 0);
}

TEST_F(LinkGuardTest, AbortEndsTheWaitAtTheGateAndAtTheTurnWithAborted) {
  std::uint32_t status = kPending;
  interface_->SuspendEvents(&status);
  std::atomic<std::uint32_t> first{kPending};
  std::atomic<std::uint32_t> second{kPending};
  std::thread a([&] { first = Trigger(1, false, 0, 60000); });
  // Link 1 waits at the gate (it is the head); link 2 waits for its turn behind it.
  ASSERT_TRUE(WaitFor([&] { return Order(*interface_->Queue()).size() == 1; }));
  std::thread b([&] { second = Trigger(2, false, 0, 60000); });
  ASSERT_TRUE(WaitFor([&] { return Order(*interface_->Queue()).size() == 2; }));
  ASSERT_TRUE(WaitFor([&] {
    interface_->LinkAbort(2, &status);
    return second.load() != kPending;
  }));
  b.join();
  EXPECT_EQ(second.load(), kVxi11StatusAborted);
  EXPECT_EQ(first.load(), kPending);
  ASSERT_TRUE(WaitFor([&] {
    interface_->LinkAbort(1, &status);
    return first.load() != kPending;
  }));
  a.join();
  EXPECT_EQ(first.load(), kVxi11StatusAborted);
  // Nothing stays behind: the next operation of either link runs.
  interface_->ResumeEvents(&status);
  EXPECT_TRUE(Order(*interface_->Queue()).empty());
  EXPECT_EQ(Trigger(2, false, 0, 1000), 0u);
  EXPECT_EQ(Trigger(1, false, 0, 1000), 0u);
}

TEST_F(LinkGuardTest, DisableEndsEveryWaitWithAborted) {
  std::uint32_t status = kPending;
  interface_->LinkLock(1, false, 0, &status);
  interface_->SuspendEvents(&status);
  std::atomic<std::uint32_t> at_gate{kPending};
  std::atomic<std::uint32_t> at_lock{kPending};
  std::thread a([&] { at_gate = Trigger(1, false, 0, 60000); });
  ASSERT_TRUE(WaitFor([&] { return !Order(*interface_->Queue()).empty(); }));
  std::thread b([&] { at_lock = Trigger(2, true, 60000, 60000); });
  ASSERT_TRUE(WaitFor([&] { return Order(*interface_->Queue()).size() == 2; }));
  // Link 2 is queued and waits for the device lock that link 1 holds.
  ASSERT_TRUE(WaitFor([&] { return interface_->Locks()->Waiters() == 1; }));
  interface_->Disable(&status);
  a.join();
  b.join();
  EXPECT_EQ(at_gate.load(), kVxi11StatusAborted);
  EXPECT_EQ(at_lock.load(), kVxi11StatusAborted);
  EXPECT_FALSE(interface_->IsEnabled());
  EXPECT_EQ(Trigger(1, false, 0, 0), kVxi11StatusAborted);
  interface_->ResumeEvents(&status);  // the engine's disable gives its suspension back
  EXPECT_EQ(interface_->Gate()->Violations(), 0);
}

TEST_F(LinkGuardTest, TriggerRemoteAndLocalNeedTheEnginesEnable) {
  std::uint32_t status = kPending;
  // Plain functions, not member function pointers: GCC's sanitizers misread a table of those.
  using Operation = void (*)(CVxi11PhysicalInterface&, std::uint32_t*);
  struct Case {
    const char* name;
    Operation operation;
    Operation enable;
  };
  const Case cases[] = {
      {"trigger",
       [](CVxi11PhysicalInterface& i, std::uint32_t* s) {
         i.LinkTrigger({1, false, 0, 1000}, s);
       },
       [](CVxi11PhysicalInterface& i, std::uint32_t* s) { i.EnableTrigger(s); }},
      {"remote",
       [](CVxi11PhysicalInterface& i, std::uint32_t* s) {
         i.LinkRemote({1, false, 0, 1000}, s);
       },
       [](CVxi11PhysicalInterface& i, std::uint32_t* s) { i.EnableRemoteLocal(s); }},
      {"local",
       [](CVxi11PhysicalInterface& i, std::uint32_t* s) {
         i.LinkLocal({1, false, 0, 1000}, s);
       },
       [](CVxi11PhysicalInterface& i, std::uint32_t* s) { i.EnableRemoteLocal(s); }},
  };
  for (const Case& c : cases) {
    interface_->DisableTrigger(&status);
    interface_->DisableRemoteLocal(&status);
    c.operation(*interface_, &status);
    EXPECT_EQ(status, kVxi11StatusNotSupported) << c.name;
    c.enable(*interface_, &status);
    c.operation(*interface_, &status);
    EXPECT_EQ(status, 0u) << c.name;
  }
}

TEST_F(LinkGuardTest, LateStatusByteAfterATimeOutIsIgnoredUntilTheNextRead) {
  FakeConnection connection;
  std::uint32_t status = kPending;
  interface_->LinkReadStatusByte(&connection, 1, {5, false, 0, 30}, &status);
  EXPECT_EQ(status, 0u);                        // the reply is sent, with the time-out in it
  interface_->ReportStatusByte(0x42, &status);  // too late: ignored
  // The next device_readstb takes the byte reported while it waits (or just before).
  std::thread reader([&] {
    std::uint32_t s = kPending;
    interface_->LinkReadStatusByte(&connection, 2, {5, false, 0, 60000}, &s);
  });
  ASSERT_TRUE(WaitFor([&] {
    std::uint32_t s = kPending;
    interface_->ReportStatusByte(0x21, &s);
    return connection.StbReplies().size() == 2;
  }));
  reader.join();
  const auto replies = connection.StbReplies();
  EXPECT_EQ(replies[0].xid, 1u);
  EXPECT_EQ(replies[0].internal_status, kVxi11StatusTimedOut);
  EXPECT_EQ(replies[0].status_byte, 0);
  EXPECT_EQ(replies[1].xid, 2u);
  EXPECT_EQ(replies[1].internal_status, 0u);
  EXPECT_EQ(replies[1].status_byte, 0x21);
}

// ---- contract checks: a misuse stops the process naming the call and the thread ----

TEST(Vxi11LinkContractTest, MisusesOfTheSynchronisationObjects) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* name;
    // Sets up correct use on this thread and returns the misuse, which runs on the thread "link".
    std::function<std::function<void()>()> arrange;
    const char* message;
  };
  CVxi11Mutex mutex;
  CVxi11Semaphore semaphore;
  CVxi11LockManager locks;
  CVxi11EventDispatcherGate gate;
  const Case cases[] = {
      {"mutex locked twice by one thread",
       [&] {
         return std::function<void()>([&] {
           std::uint32_t status = kPending;
           mutex.Lock(&status);
           mutex.Lock(&status);
         });
       },
       "CVxi11Mutex::Lock: a lock by the thread that already holds the mutex "},
      {"mutex unlocked by another thread",
       [&] {
         std::uint32_t status = kPending;
         mutex.Lock(&status);
         return std::function<void()>([&] { mutex.Unlock(); });
       },
       "CVxi11Mutex::Unlock: an unlock by a thread that does not hold the mutex "},
      {"semaphore posted past its maximum",
       [&] {
         semaphore.Init(0, 1);
         semaphore.Post();
         return std::function<void()>([&] { semaphore.Post(); });
       },
       "CVxi11Semaphore::Post: a post past the maximum count "},
      {"device lock released by a link that does not own it",
       [&] {
         std::uint32_t status = kPending;
         locks.Enable();
         locks.Lock(1, 0, &status);
         return std::function<void()>([&] { locks.Unlock(2); });
       },
       "CVxi11LockManager::Unlock: an unlock by a link that does not own the device lock "},
      {"gate left by a thread that does not hold the token",
       [&] {
         std::uint32_t status = kPending;
         gate.Reset();
         gate.Resume();
         gate.Pass(1, 0, &status);
         return std::function<void()>([&] { gate.Leave(); });
       },
       "CVxi11EventDispatcherGate::Leave: a leave by a thread that does not hold the token "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_DEATH(
        {
          const std::function<void()> misuse = c.arrange();
          RunOnKernelThread("link", misuse);
        },
        std::string(c.message) + ByThread("link"));
  }
}

TEST(Vxi11LinkContractTest, CorrectUseBesideEachMisuseGoesOn) {
  CVxi11Mutex mutex;
  std::uint32_t status = kPending;
  RunOnKernelThread("link", [&] {
    mutex.Lock(&status);
    mutex.Unlock();
  });
  mutex.Lock(&status);
  mutex.Unlock();
  CVxi11Semaphore semaphore;
  semaphore.Init(0, 1);
  semaphore.Post();
  EXPECT_TRUE(semaphore.Wait(0, &status));
  semaphore.Post();  // back at the maximum, not past it
  CVxi11LockManager locks;
  locks.Enable();
  locks.Lock(1, 0, &status);
  locks.Unlock(1);
  locks.Unlock(2);  // nobody owns the lock: nothing to release, no misuse
  EXPECT_EQ(locks.Owner(), 0u);
  CVxi11EventDispatcherGate gate;
  gate.Reset();
  gate.Resume();
  gate.Pass(1, 0, &status);
  ASSERT_EQ(status, 0u);
  gate.Leave();
  RunOnKernelThread("link", [&] { gate.Leave(); });  // an idle gate: nothing to give back
  EXPECT_FALSE(gate.IsBusy());
}

TEST_F(LinkGuardTest, AGuardServesOneOperation) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(RunOnKernelThread("link",
                                 [&] {
                                   CVxi11LinkOperationGuard guard;
                                   guard.Register(interface_, 1);
                                   guard.Register(interface_, 1);
                                 }),
               std::string("CVxi11LinkOperationGuard::Register: a guard registered twice ") + ByThread("link"));
  EXPECT_DEATH(RunOnKernelThread("link",
                                 [&] {
                                   CVxi11LinkOperationGuard guard;
                                   std::uint32_t status = kPending;
                                   guard.TakeTurn(&status);
                                 }),
               std::string("CVxi11LinkOperationGuard::TakeTurn: a turn of an unregistered guard ") + ByThread("link"));
  // A guard used again after its end serves the next operation.
  CVxi11LinkOperationGuard guard;
  std::uint32_t status = kPending;
  guard.Begin(interface_, {1, false, 0, 1000}, &status);
  ASSERT_EQ(status, 0u);
  guard.End();
  guard.Begin(interface_, {1, false, 0, 1000}, &status);
  EXPECT_EQ(status, 0u);
  guard.TakeTurn(&status);
  EXPECT_EQ(status, 0u);
}

}  // namespace
}  // namespace torvex_test
