// Condition variables: a broadcast wakes the threads that were waiting, never a thread that starts
// waiting after it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/kernel.h"
#include "support/wait_for.h"

namespace {

struct Shared {
  cyg_mutex_t mutex;
  cyg_cond_t cond;
};

bool WaitFor(const std::atomic<bool>& flag) {
  return torvex_test::WaitFor([&] { return flag.load(); });
}

TEST(CondWakeup, LateWaiterDoesNotTakeTheWakeUpOfAnEarlierOne) {
  Shared s;
  cyg_mutex_init(&s.mutex);
  cyg_cond_init(&s.cond, &s.mutex);
  std::atomic<bool> early_result{false};
  std::atomic<bool> early_done{false};
  std::atomic<bool> early_waiting{false};
  std::thread early([&] {
    cyg_mutex_lock(&s.mutex);
    early_waiting = true;
    early_result = cyg_cond_timed_wait(&s.cond, cyg_current_time() + 300);
    cyg_mutex_unlock(&s.mutex);
    early_done = true;
  });
  ASSERT_TRUE(WaitFor(early_waiting));
  cyg_mutex_lock(&s.mutex);  // taken once the early thread waits (it gives the mutex up inside)
  cyg_cond_broadcast(&s.cond);
  // This thread starts waiting after the broadcast: it must time out, not take the wake-up.
  EXPECT_FALSE(cyg_cond_timed_wait(&s.cond, cyg_current_time() + 2));
  cyg_mutex_unlock(&s.mutex);
  ASSERT_TRUE(WaitFor(early_done));
  early.join();
  EXPECT_TRUE(early_result.load());
}

TEST(CondWakeup, SignalWakesTheOldestWaiterOnly) {
  Shared s;
  cyg_mutex_init(&s.mutex);
  cyg_cond_init(&s.cond, &s.mutex);
  std::atomic<int> woken{0};
  std::atomic<int> waiting{0};
  std::thread a([&] {
    cyg_mutex_lock(&s.mutex);
    ++waiting;
    if (cyg_cond_timed_wait(&s.cond, cyg_current_time() + 300)) ++woken;
    cyg_mutex_unlock(&s.mutex);
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (waiting.load() < 1 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  cyg_mutex_lock(&s.mutex);
  cyg_cond_signal(&s.cond);
  EXPECT_FALSE(cyg_cond_timed_wait(&s.cond, cyg_current_time() + 2));
  cyg_mutex_unlock(&s.mutex);
  a.join();
  EXPECT_EQ(woken.load(), 1);
}

}  // namespace
