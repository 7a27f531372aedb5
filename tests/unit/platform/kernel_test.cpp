// Kernel calls: thread start, timed waits, semaphores, event flags, the kernel lock, release.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "support/wait_for.h"

namespace {

const bool kFastTick = (platform::kernel::SetTickMicroseconds(1000), true);

using Clock = std::chrono::steady_clock;

using torvex_test::WaitFor;

struct ThreadFixture {
  cyg_handle_t handle = 0;
  cyg_thread thread;
  std::atomic<int> runs{0};
  cyg_sem_t* sem = nullptr;

  static void Entry(cyg_addrword_t data) {
    auto* self = reinterpret_cast<ThreadFixture*>(data);
    self->runs.fetch_add(1);
    if (self->sem != nullptr) cyg_semaphore_wait(self->sem);
  }
  void Create(const char* name = "test thread", cyg_ucount32 stack = 4096) {
    cyg_thread_create(7, &Entry, reinterpret_cast<cyg_addrword_t>(this), name, nullptr, stack, &handle, &thread);
  }
};

TEST(KernelThread, CreatedSuspendedRunsOnlyAfterResume) {
  ThreadFixture t;
  t.Create("suspended");
  // The thread must not run by itself: give it every chance to.
  for (int i = 0; i < 1000; ++i) std::this_thread::yield();
  EXPECT_EQ(t.runs.load(), 0);
  EXPECT_FALSE(cyg_thread_is_running(t.handle));
  cyg_thread_resume(t.handle);
  EXPECT_TRUE(WaitFor([&] { return t.runs.load() == 1; }));
  EXPECT_TRUE(cyg_thread_delete(t.handle));
  EXPECT_EQ(t.runs.load(), 1);
}

TEST(KernelThread, DeleteOfNeverStartedThreadDoesNotRunIt) {
  ThreadFixture t;
  t.Create();
  EXPECT_TRUE(cyg_thread_delete(t.handle));
  EXPECT_EQ(t.runs.load(), 0);
}

TEST(KernelThread, RecordsNamePriorityAndStack) {
  ThreadFixture t;
  t.Create("recorded", 9920);
  const auto info = platform::kernel::GetThreadInfo(t.handle);
  EXPECT_STREQ(info.name, "recorded");
  EXPECT_EQ(info.priority, 7);
  EXPECT_EQ(info.stack_size, 9920u);
  cyg_thread_set_priority(t.handle, 3);
  EXPECT_EQ(cyg_thread_get_priority(t.handle), 3);
  cyg_thread_delete(t.handle);
}

TEST(KernelThread, ReleaseBreaksABlockedWait) {
  cyg_sem_t sem;
  cyg_semaphore_init(&sem, 0);
  std::atomic<cyg_handle_t> waiter{0};
  std::atomic<int> result{-1};
  std::thread th([&] {
    waiter = cyg_thread_self();
    result = cyg_semaphore_wait(&sem) ? 1 : 0;
  });
  ASSERT_TRUE(WaitFor([&] { return waiter.load() != 0; }));
  cyg_thread_release(waiter.load());
  th.join();
  EXPECT_EQ(result.load(), 0);
  cyg_count32 count = -1;
  cyg_semaphore_peek(&sem, &count);
  EXPECT_EQ(count, 0);
}

TEST(KernelThread, SuspendSelfUntilResumed) {
  std::atomic<cyg_handle_t> h{0};
  std::atomic<bool> after{false};
  std::thread th([&] {
    h = cyg_thread_self();
    cyg_thread_suspend(h.load());
    after = true;
  });
  ASSERT_TRUE(WaitFor([&] { return h.load() != 0; }));
  for (int i = 0; i < 1000; ++i) std::this_thread::yield();
  EXPECT_FALSE(after.load());
  cyg_thread_resume(h.load());
  th.join();
  EXPECT_TRUE(after.load());
}

// A release does not end a suspension (the count would stay raised); it breaks the next wait.
TEST(KernelThread, ReleaseOfASuspendedThreadWaitsForItsResume) {
  std::atomic<cyg_handle_t> h{0};
  std::atomic<bool> after{false};
  std::atomic<int> next_wait{-1};
  cyg_sem_t sem;
  cyg_semaphore_init(&sem, 0);
  std::thread th([&] {
    h = cyg_thread_self();
    cyg_thread_suspend(h.load());
    after = true;
    next_wait = cyg_semaphore_wait(&sem) ? 1 : 0;
  });
  ASSERT_TRUE(WaitFor([&] { return h.load() != 0; }));
  cyg_thread_release(h.load());
  for (int i = 0; i < 2000; ++i) std::this_thread::yield();
  EXPECT_FALSE(after.load()) << "a release ended the suspension";
  cyg_thread_resume(h.load());
  ASSERT_TRUE(WaitFor([&] { return after.load(); }));
  ASSERT_TRUE(WaitFor([&] { return next_wait.load() != -1; }, std::chrono::seconds(2)));
  EXPECT_EQ(next_wait.load(), 0) << "the release was lost";
  if (next_wait.load() == -1) cyg_semaphore_post(&sem);
  th.join();
}

// Timed waits: a table of absolute deadlines relative to now, with the expected outcome.
struct TimedCase {
  const char* name;
  long offset_ticks;  // deadline = now + offset (0 and negative: only a try)
  int initial_count;
  bool expect_taken;
};

std::ostream& operator<<(std::ostream& os, const TimedCase& c) { return os << c.name; }

class SemaphoreTimedWait : public ::testing::TestWithParam<TimedCase> {};

TEST_P(SemaphoreTimedWait, EndsAtItsAbsoluteTick) {
  const TimedCase c = GetParam();
  cyg_sem_t sem;
  cyg_semaphore_init(&sem, c.initial_count);
  const cyg_tick_count_t now = cyg_current_time();
  const cyg_tick_count_t deadline =
      c.offset_ticks < 0 && now < static_cast<cyg_tick_count_t>(-c.offset_ticks) ? 0 : now + c.offset_ticks;
  const auto start = Clock::now();
  const bool taken = cyg_semaphore_timed_wait(&sem, deadline);
  const cyg_tick_count_t after = cyg_current_time();
  EXPECT_EQ(taken, c.expect_taken);
  if (!taken && c.offset_ticks > 0) {
    EXPECT_GE(after, deadline) << "returned before its deadline";
  }
  if (c.offset_ticks <= 0) {
    // Only a try: it must not have waited a full tick.
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, SemaphoreTimedWait,
                         ::testing::Values(TimedCase{"past_deadline_is_try_empty", -5, 0, false},
                                           TimedCase{"past_deadline_is_try_available", -5, 1, true},
                                           TimedCase{"now_is_try_empty", 0, 0, false},
                                           TimedCase{"now_is_try_available", 0, 2, true},
                                           TimedCase{"one_tick", 1, 0, false}, TimedCase{"several_ticks", 20, 0, false},
                                           TimedCase{"available_before_deadline", 20, 1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(KernelTime, MillisecondsToTicksIsAtLeastOne) {
  struct {
    std::uint32_t ms;
    cyg_tick_count_t ticks;
  } table[] = {{0, 1}, {1, 1}, {9, 1}, {10, 1}, {19, 1}, {20, 2}, {500, 50}, {10000, 1000}};
  for (const auto& row : table) EXPECT_EQ(platform::kernel::MillisecondsToTicks(row.ms), row.ticks) << row.ms;
}

TEST(KernelTime, DelayLastsAtLeastItsTicks) {
  const cyg_tick_count_t before = cyg_current_time();
  cyg_thread_delay(5);
  EXPECT_GE(cyg_current_time(), before + 5);
}

// A new tick length while the clock runs: the count goes on from where it was (never back, no
// jump), and a wait taken after the change counts ticks of the new length.
TEST(KernelTime, ATickChangeContinuesTheCountAtTheNewLength) {
  const std::uint32_t fast = platform::kernel::TickMicroseconds();
  cyg_thread_delay(20);  // a count well past 0, so that a restart of the count would show
  const cyg_tick_count_t before = cyg_current_time();
  platform::kernel::SetTickMicroseconds(10000000);  // 10 s ticks: the count stands still from here
  const cyg_tick_count_t during = cyg_current_time();
  EXPECT_GE(during, before);
  EXPECT_LE(during, before + 1000) << "the count jumped ahead";
  cyg_sem_t sem;
  cyg_semaphore_init(&sem, 0);
  EXPECT_FALSE(cyg_semaphore_timed_wait(&sem, during));  // a deadline not ahead only tries
  platform::kernel::SetTickMicroseconds(fast);
  const cyg_tick_count_t after = cyg_current_time();
  EXPECT_GE(after, during);
  const cyg_tick_count_t deadline = after + 3;
  EXPECT_FALSE(cyg_semaphore_timed_wait(&sem, deadline));
  EXPECT_GE(cyg_current_time(), deadline);
  cyg_semaphore_destroy(&sem);
}
TEST(KernelSemaphore, TimedWaitIsWokenByPost) {
  cyg_sem_t sem;
  cyg_semaphore_init(&sem, 0);
  std::thread poster([&] { cyg_semaphore_post(&sem); });
  EXPECT_TRUE(cyg_semaphore_timed_wait(&sem, cyg_current_time() + 100000));
  poster.join();
}

TEST(KernelSemaphore, CountsStayExactUnderContention) {
  cyg_sem_t sem;
  cyg_semaphore_init(&sem, 0);
  constexpr int kPosters = 4, kTakers = 4, kEach = 2000;
  std::atomic<int> taken{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kTakers; ++i) {
    threads.emplace_back([&] {
      for (int k = 0; k < kEach; ++k) {
        if (k % 2 == 0) {
          ASSERT_TRUE(cyg_semaphore_wait(&sem));
        } else {
          while (!cyg_semaphore_timed_wait(&sem, cyg_current_time() + 2)) {
          }
        }
        taken.fetch_add(1);
      }
    });
  }
  for (int i = 0; i < kPosters; ++i) {
    threads.emplace_back([&] {
      for (int k = 0; k < kEach; ++k) cyg_semaphore_post(&sem);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(taken.load(), kTakers * kEach);
  cyg_count32 left = -1;
  cyg_semaphore_peek(&sem, &left);
  EXPECT_EQ(left, 0);
  EXPECT_FALSE(cyg_semaphore_trywait(&sem));
}

// Event flags: each row sets bits, waits with a pattern and mode, and checks result and what stays.
struct FlagCase {
  const char* name;
  cyg_flag_value_t set;
  cyg_flag_value_t pattern;
  cyg_flag_mode_t mode;
  cyg_flag_value_t expect_result;  // 0 = not satisfied
  cyg_flag_value_t expect_after;
};

std::ostream& operator<<(std::ostream& os, const FlagCase& c) { return os << c.name; }

class EventFlags : public ::testing::TestWithParam<FlagCase> {};

TEST_P(EventFlags, PollFollowsModeAndClear) {
  const FlagCase c = GetParam();
  cyg_flag_t flag;
  cyg_flag_init(&flag);
  cyg_flag_setbits(&flag, c.set);
  EXPECT_EQ(cyg_flag_poll(&flag, c.pattern, c.mode), c.expect_result);
  EXPECT_EQ(cyg_flag_peek(&flag), c.expect_after);
  // A timed wait whose deadline has passed gives the same answer as a poll.
  cyg_flag_t again;
  cyg_flag_init(&again);
  cyg_flag_setbits(&again, c.set);
  EXPECT_EQ(cyg_flag_timed_wait(&again, c.pattern, c.mode, 0), c.expect_result);
  EXPECT_EQ(cyg_flag_peek(&again), c.expect_after);
}

INSTANTIATE_TEST_SUITE_P(Cases, EventFlags,
                         ::testing::Values(FlagCase{"and_all_present", 0x7, 0x3, CYG_FLAG_WAITMODE_AND, 0x7, 0x7},
                                           FlagCase{"and_one_missing", 0x5, 0x3, CYG_FLAG_WAITMODE_AND, 0, 0x5},
                                           FlagCase{"or_one_present", 0x4, 0x6, CYG_FLAG_WAITMODE_OR, 0x4, 0x4},
                                           FlagCase{"or_none_present", 0x8, 0x6, CYG_FLAG_WAITMODE_OR, 0, 0x8},
                                           FlagCase{"and_clear", 0x7, 0x3,
                                                    CYG_FLAG_WAITMODE_AND | CYG_FLAG_WAITMODE_CLR, 0x7, 0x4},
                                           FlagCase{"or_clear_clears_whole_pattern", 0x5, 0x3,
                                                    CYG_FLAG_WAITMODE_OR | CYG_FLAG_WAITMODE_CLR, 0x5, 0x4},
                                           FlagCase{"empty_pattern_never", 0xF, 0x0, CYG_FLAG_WAITMODE_OR, 0, 0xF}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(KernelFlags, WaitIsWokenWhenTheLastBitArrives) {
  cyg_flag_t flag;
  cyg_flag_init(&flag);
  std::atomic<cyg_flag_value_t> result{0};
  std::thread waiter([&] { result = cyg_flag_wait(&flag, 0x3, CYG_FLAG_WAITMODE_AND | CYG_FLAG_WAITMODE_CLR); });
  cyg_flag_setbits(&flag, 0x1);
  for (int i = 0; i < 1000; ++i) std::this_thread::yield();
  EXPECT_EQ(result.load(), 0u);
  cyg_flag_setbits(&flag, 0x6);
  waiter.join();
  EXPECT_EQ(result.load(), 0x7u);
  EXPECT_EQ(cyg_flag_peek(&flag), 0x4u);
  cyg_flag_maskbits(&flag, 0x0);
  EXPECT_EQ(cyg_flag_peek(&flag), 0u);
}

TEST(KernelFlags, TimedWaitTimesOutWithZero) {
  cyg_flag_t flag;
  cyg_flag_init(&flag);
  const cyg_tick_count_t deadline = cyg_current_time() + 3;
  EXPECT_EQ(cyg_flag_timed_wait(&flag, 0x1, CYG_FLAG_WAITMODE_OR, deadline), 0u);
  EXPECT_GE(cyg_current_time(), deadline);
}

TEST(KernelLock, NestsAndExcludesOtherThreads) {
  cyg_scheduler_lock();
  cyg_interrupt_disable();
  EXPECT_EQ(cyg_scheduler_read_lock(), 2u);
  std::atomic<bool> got{false};
  std::thread other([&] {
    cyg_scheduler_lock();
    got = true;
    cyg_scheduler_unlock();
  });
  for (int i = 0; i < 1000; ++i) std::this_thread::yield();
  EXPECT_FALSE(got.load());
  cyg_interrupt_enable();
  EXPECT_FALSE(got.load());
  cyg_scheduler_unlock();
  other.join();
  EXPECT_TRUE(got.load());
  EXPECT_EQ(cyg_scheduler_read_lock(), 0u);
}

TEST(KernelLock, BlockingWaitGivesTheLockUpAndTakesItBack) {
  cyg_sem_t sem;
  cyg_semaphore_init(&sem, 0);
  cyg_scheduler_lock();
  cyg_scheduler_lock();
  std::thread poster([&] {
    cyg_scheduler_lock();  // possible only while the waiter is blocked
    cyg_semaphore_post(&sem);
    cyg_scheduler_unlock();
  });
  EXPECT_TRUE(cyg_semaphore_wait(&sem));
  EXPECT_EQ(cyg_scheduler_read_lock(), 2u);
  cyg_scheduler_unlock();
  cyg_scheduler_unlock();
  poster.join();
}

TEST(KernelMutex, ExcludesAndHandsOver) {
  cyg_mutex_t m;
  cyg_mutex_init(&m);
  ASSERT_TRUE(cyg_mutex_lock(&m));
  std::atomic<bool> entered{false};
  std::atomic<int> tried{-1};
  std::thread other([&] {
    tried = cyg_mutex_trylock(&m) ? 1 : 0;
    if (tried == 1) cyg_mutex_unlock(&m);
    ASSERT_TRUE(cyg_mutex_lock(&m));
    entered = true;
    cyg_mutex_unlock(&m);
  });
  ASSERT_TRUE(WaitFor([&] { return tried.load() != -1; }));
  EXPECT_EQ(tried.load(), 0) << "trylock of a held mutex must fail";
  for (int i = 0; i < 1000; ++i) std::this_thread::yield();
  EXPECT_FALSE(entered.load());
  cyg_mutex_unlock(&m);
  other.join();
  EXPECT_TRUE(entered.load());
  cyg_mutex_destroy(&m);
}

TEST(KernelCond, SignalWakesOneBroadcastWakesAll) {
  cyg_mutex_t m;
  cyg_cond_t c;
  cyg_mutex_init(&m);
  cyg_cond_init(&c, &m);
  int ready = 0;
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      cyg_mutex_lock(&m);
      ++ready;
      EXPECT_TRUE(cyg_cond_wait(&c));
      woken.fetch_add(1);
      cyg_mutex_unlock(&m);
    });
  }
  ASSERT_TRUE(WaitFor([&] {
    cyg_mutex_lock(&m);
    // Each waiter gives the mutex up only inside its wait, so holding it with ready == 3 means all
    // three are waiting.
    const bool all = ready == 3;
    cyg_mutex_unlock(&m);
    return all;
  }));
  cyg_cond_signal(&c);
  ASSERT_TRUE(WaitFor([&] { return woken.load() == 1; }));
  for (int i = 0; i < 1000; ++i) std::this_thread::yield();
  EXPECT_EQ(woken.load(), 1);
  cyg_cond_broadcast(&c);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 3);
}

TEST(KernelCond, TimedWaitTimesOutHoldingTheMutex) {
  cyg_mutex_t m;
  cyg_cond_t c;
  cyg_mutex_init(&m);
  cyg_cond_init(&c, &m);
  cyg_mutex_lock(&m);
  EXPECT_FALSE(cyg_cond_timed_wait(&c, cyg_current_time() + 2));
  EXPECT_FALSE(cyg_mutex_trylock(&m));  // still held by us
  cyg_mutex_unlock(&m);
}

// Absolute deadlines far ahead (up to the largest tick, the usual way to say "no time-out") must
// wait, not wrap into the past and fail at once.
const cyg_tick_count_t kFarDeadlines[] = {~cyg_tick_count_t{0}, ~cyg_tick_count_t{0} - 1, cyg_tick_count_t{1} << 63,
                                          cyg_tick_count_t{1} << 50, cyg_tick_count_t{1} << 44};

TEST(KernelTime, TimedCondWaitToAFarTickWaitsForItsSignal) {
  for (const cyg_tick_count_t abstime : kFarDeadlines) {
    cyg_mutex_t m;
    cyg_cond_t c;
    cyg_mutex_init(&m);
    cyg_cond_init(&c, &m);
    std::atomic<int> result{-1};
    std::atomic<bool> locked{false};
    std::thread waiter([&] {
      cyg_mutex_lock(&m);
      locked = true;
      result = cyg_cond_timed_wait(&c, abstime) ? 1 : 0;
      cyg_mutex_unlock(&m);
    });
    ASSERT_TRUE(WaitFor([&] { return locked.load(); }));
    ASSERT_TRUE(WaitFor([&] { return cyg_mutex_trylock(&m) || result.load() != -1; }));
    // Holding the mutex here means the waiter gave it up inside its wait (or already returned).
    cyg_cond_signal(&c);
    if (result.load() == -1) cyg_mutex_unlock(&m);
    waiter.join();
    EXPECT_EQ(result.load(), 1) << "abstime " << abstime;
  }
}

TEST(KernelTime, TimedWaitsToAFarTickEndOnlyByTheirEvent) {
  for (const cyg_tick_count_t abstime : kFarDeadlines) {
    cyg_sem_t sem;
    cyg_semaphore_init(&sem, 0);
    cyg_flag_t flag;
    cyg_flag_init(&flag);
    std::atomic<int> sem_result{-1};
    std::atomic<long> flag_result{-1};
    std::thread sem_waiter([&] { sem_result = cyg_semaphore_timed_wait(&sem, abstime) ? 1 : 0; });
    std::thread flag_waiter(
        [&] { flag_result = static_cast<long>(cyg_flag_timed_wait(&flag, 0x3, CYG_FLAG_WAITMODE_AND, abstime)); });
    for (int i = 0; i < 2000; ++i) std::this_thread::yield();
    EXPECT_EQ(sem_result.load(), -1) << "semaphore wait ended before its post, abstime " << abstime;
    EXPECT_EQ(flag_result.load(), -1) << "flag wait ended before its bits, abstime " << abstime;
    cyg_semaphore_post(&sem);
    cyg_flag_setbits(&flag, 0x3);
    sem_waiter.join();
    flag_waiter.join();
    EXPECT_EQ(sem_result.load(), 1);
    EXPECT_EQ(flag_result.load(), 0x3);
  }
}

TEST(KernelTime, DelayOfTheLargestTickCountEndsOnlyByRelease) {
  std::atomic<cyg_handle_t> handle{0};
  std::atomic<bool> done{false};
  std::thread sleeper([&] {
    handle = cyg_thread_self();
    cyg_thread_delay(~cyg_tick_count_t{0});
    done = true;
  });
  ASSERT_TRUE(WaitFor([&] { return handle.load() != 0; }));
  for (int i = 0; i < 2000; ++i) std::this_thread::yield();
  EXPECT_FALSE(done.load()) << "the delay wrapped around and ended at once";
  cyg_thread_release(handle.load());
  sleeper.join();
  EXPECT_TRUE(done.load());
}

// Bounded stress of every primitive together; meant for the thread sanitizer.
TEST(KernelStress, MixedPrimitivesEndCleanly) {
  cyg_mutex_t m;
  cyg_mutex_init(&m);
  cyg_sem_t sem;
  cyg_semaphore_init(&sem, 0);
  cyg_flag_t flag;
  cyg_flag_init(&flag);
  long counter = 0;
  constexpr int kThreads = 6, kRounds = 1500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        cyg_mutex_lock(&m);
        ++counter;
        cyg_mutex_unlock(&m);
        cyg_semaphore_post(&sem);
        cyg_semaphore_wait(&sem);
        cyg_flag_setbits(&flag, 1u << t);
        cyg_flag_poll(&flag, 1u << t, CYG_FLAG_WAITMODE_OR | CYG_FLAG_WAITMODE_CLR);
        if (r % 64 == 0) {
          cyg_scheduler_lock();
          cyg_scheduler_unlock();
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
}

}  // namespace
