// Contract checks of the kernel layer: misuse stops the process with a message that names the call
// and the calling thread; correct use right beside each misuse goes on.
#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <ostream>
#include <string>
#include <sys/time.h>

#include "platform/interrupt.h"
#include "platform/io.h"
#include "platform/kernel.h"
#include "support/kernel_thread.h"

namespace {

using torvex_test::ByThread;
using torvex_test::RunOnKernelThread;

class ContractTest : public ::testing::Test {
 protected:
  // The kernel and the interrupt delivery run threads: the death-test child starts afresh.
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ContractTest, UnlockingAMutexTheThreadDoesNotOwn) {
  cyg_mutex_t m;
  cyg_mutex_init(&m);
  // Held by no one.
  EXPECT_DEATH(RunOnKernelThread("unlocker", [&] { cyg_mutex_unlock(&m); }),
               "cyg_mutex_unlock: unlocking a mutex the thread does not own " + ByThread("unlocker"));
  // Held by another thread.
  ASSERT_TRUE(cyg_mutex_lock(&m));
  EXPECT_DEATH(RunOnKernelThread("other", [&] { cyg_mutex_unlock(&m); }),
               "cyg_mutex_unlock: unlocking a mutex the thread does not own " + ByThread("other"));
  cyg_mutex_unlock(&m);  // by its owner: fine
  cyg_mutex_destroy(&m);
}

TEST_F(ContractTest, LockingAgainAMutexTheThreadHolds) {
  cyg_mutex_t m;
  cyg_mutex_init(&m);
  EXPECT_DEATH(RunOnKernelThread("relocker",
                                 [&] {
                                   cyg_mutex_lock(&m);
                                   cyg_mutex_lock(&m);
                                 }),
               "cyg_mutex_lock: locking a mutex the thread already holds " + ByThread("relocker"));
  // A try only fails: the caller learns the mutex is taken.
  ASSERT_TRUE(cyg_mutex_lock(&m));
  EXPECT_FALSE(cyg_mutex_trylock(&m));
  cyg_mutex_unlock(&m);
  cyg_mutex_destroy(&m);
}

TEST_F(ContractTest, WaitingOnAConditionWithoutItsMutex) {
  cyg_mutex_t m;
  cyg_cond_t c;
  cyg_mutex_init(&m);
  cyg_cond_init(&c, &m);
  EXPECT_DEATH(cyg_cond_timed_wait(&c, cyg_current_time() + 1),
               "cyg_cond_timed_wait: waiting on a condition without holding its mutex");
  cyg_cond_destroy(&c);
  cyg_mutex_destroy(&m);
}

// Objects that are used before their init or after their destroy: each call names itself.
struct LifeCase {
  const char* name;
  const char* message;
  std::function<void()> misuse;
};

void PrintTo(const LifeCase& c, std::ostream* os) { *os << c.name; }

class ObjectLifeTest : public ContractTest, public ::testing::WithParamInterface<LifeCase> {};

TEST_P(ObjectLifeTest, StopsNamingTheCall) { EXPECT_DEATH(GetParam().misuse(), GetParam().message); }

const LifeCase kLifeCases[] = {
    {"MutexLockNeverInitialised", "cyg_mutex_lock: the object was never initialised",
     [] {
       cyg_mutex_t m;
       cyg_mutex_lock(&m);
     }},
    {"MutexUnlockDestroyed", "cyg_mutex_unlock: the object was destroyed",
     [] {
       cyg_mutex_t m;
       cyg_mutex_init(&m);
       cyg_mutex_lock(&m);
       cyg_mutex_destroy(&m);
       cyg_mutex_unlock(&m);
     }},
    {"MutexDestroyedTwice", "cyg_mutex_destroy: the object was destroyed",
     [] {
       cyg_mutex_t m;
       cyg_mutex_init(&m);
       cyg_mutex_destroy(&m);
       cyg_mutex_destroy(&m);
     }},
    {"SemaphorePostNeverInitialised", "cyg_semaphore_post: the object was never initialised",
     [] {
       cyg_sem_t s;
       cyg_semaphore_post(&s);
     }},
    {"SemaphoreWaitDestroyed", "cyg_semaphore_timed_wait: the object was destroyed",
     [] {
       cyg_sem_t s;
       cyg_semaphore_init(&s, 1);
       cyg_semaphore_destroy(&s);
       cyg_semaphore_timed_wait(&s, cyg_current_time() + 1);
     }},
    {"FlagSetNeverInitialised", "cyg_flag_setbits: the object was never initialised",
     [] {
       cyg_flag_t f;
       cyg_flag_setbits(&f, 1);
     }},
    {"FlagWaitDestroyed", "cyg_flag_timed_wait: the object was destroyed",
     [] {
       cyg_flag_t f;
       cyg_flag_init(&f);
       cyg_flag_setbits(&f, 1);
       cyg_flag_destroy(&f);
       cyg_flag_timed_wait(&f, 1, CYG_FLAG_WAITMODE_OR, cyg_current_time() + 1);
     }},
    {"ConditionSignalNeverInitialised", "cyg_cond_signal: the object was never initialised",
     [] {
       cyg_cond_t c;
       cyg_cond_signal(&c);
     }},
    {"ConditionOnAMutexNeverInitialised", "cyg_cond_init: the object was never initialised",
     [] {
       cyg_mutex_t m;
       cyg_cond_t c;
       cyg_cond_init(&c, &m);
     }},
};

INSTANTIATE_TEST_SUITE_P(Objects, ObjectLifeTest, ::testing::ValuesIn(kLifeCases),
                         [](const ::testing::TestParamInfo<LifeCase>& info) { return info.param.name; });

// Calls that may block, made from an interrupt handler. The handler runs the case's call once.
struct HandlerCase {
  const char* name;
  bool in_dsr;  // else in the ISR
  const char* message;
  void (*call)();
};

void PrintTo(const HandlerCase& c, std::ostream* os) { *os << c.name; }

cyg_sem_t g_sem;
cyg_mutex_t g_mutex;
cyg_flag_t g_flag;
const HandlerCase* g_handler_case = nullptr;

constexpr cyg_vector_t kVector = 11;

cyg_uint32 Isr(cyg_vector_t vector, cyg_addrword_t) {
  cyg_interrupt_mask(vector);
  cyg_interrupt_acknowledge(vector);
  if (!g_handler_case->in_dsr) g_handler_case->call();
  return CYG_ISR_HANDLED | CYG_ISR_CALL_DSR;
}

void Dsr(cyg_vector_t, cyg_ucount32, cyg_addrword_t) {
  if (g_handler_case->in_dsr) g_handler_case->call();
  cyg_semaphore_post(&g_sem);  // what a handler may do: hand over to a thread
}

class HandlerTest : public ContractTest, public ::testing::WithParamInterface<HandlerCase> {
 protected:
  void SetUp() override {
    ContractTest::SetUp();
    platform::interrupts::ResetController();
    cyg_semaphore_init(&g_sem, 0);
    cyg_mutex_init(&g_mutex);
    cyg_flag_init(&g_flag);
    g_handler_case = &GetParam();
  }
  void TearDown() override { platform::interrupts::ResetController(); }

  void Interrupt() {
    cyg_interrupt object;
    cyg_handle_t handle = 0;
    cyg_interrupt_create(kVector, 1, 0, &Isr, &Dsr, &handle, &object);
    cyg_interrupt_attach(handle);
    cyg_interrupt_unmask(kVector);
    platform::interrupts::RaiseSource(kVector);
    const bool handed_over = cyg_semaphore_timed_wait(&g_sem, cyg_current_time() + 500);
    cyg_interrupt_detach(handle);
    cyg_interrupt_delete(handle);
    ASSERT_TRUE(handed_over);
  }
};

TEST_P(HandlerTest, BlockingCallStops) {
  EXPECT_DEATH(Interrupt(), std::string(GetParam().message) + ": a call that may block, made from an ISR or DSR " +
                                ByThread("interrupt delivery"));
}

const HandlerCase kHandlerCases[] = {
    {"SemaphoreWaitInIsr", false, "cyg_semaphore_wait", [] { cyg_semaphore_wait(&g_sem); }},
    {"MutexLockInDsr", true, "cyg_mutex_lock", [] { cyg_mutex_lock(&g_mutex); }},
    {"FlagWaitInDsr", true, "cyg_flag_timed_wait",
     [] { cyg_flag_timed_wait(&g_flag, 1, CYG_FLAG_WAITMODE_OR, cyg_current_time() + 1); }},
    {"DelayInIsr", false, "cyg_thread_delay", [] { cyg_thread_delay(1); }},
    {"SelectInDsr", true, "select",
     [] {
       timeval none{0, 0};
       platform::select(0, nullptr, nullptr, nullptr, &none);
     }},
};

INSTANTIATE_TEST_SUITE_P(Handlers, HandlerTest, ::testing::ValuesIn(kHandlerCases),
                         [](const ::testing::TestParamInfo<HandlerCase>& info) { return info.param.name; });

// Calls that never block are what handlers are for; they go on.
TEST_F(ContractTest, HandlerMayPostTryAndSetBits) {
  static const HandlerCase allowed{"Allowed", true, "", [] {
                                     cyg_flag_setbits(&g_flag, 1);
                                     if (cyg_mutex_trylock(&g_mutex)) cyg_mutex_unlock(&g_mutex);
                                   }};
  platform::interrupts::ResetController();
  cyg_semaphore_init(&g_sem, 0);
  cyg_mutex_init(&g_mutex);
  cyg_flag_init(&g_flag);
  g_handler_case = &allowed;
  cyg_interrupt object;
  cyg_handle_t handle = 0;
  cyg_interrupt_create(kVector, 1, 0, &Isr, &Dsr, &handle, &object);
  cyg_interrupt_attach(handle);
  cyg_interrupt_unmask(kVector);
  platform::interrupts::RaiseSource(kVector);
  EXPECT_TRUE(cyg_semaphore_timed_wait(&g_sem, cyg_current_time() + 500));
  EXPECT_EQ(cyg_flag_peek(&g_flag), 1u);
  cyg_interrupt_detach(handle);
  cyg_interrupt_delete(handle);
  platform::interrupts::ResetController();
}

// A thread that never ends.
void Forever(cyg_addrword_t data) {
  auto* started = reinterpret_cast<cyg_sem_t*>(data);
  cyg_semaphore_post(started);
  cyg_sem_t never;
  cyg_semaphore_init(&never, 0);
  for (;;) cyg_semaphore_wait(&never);
}

TEST_F(ContractTest, DeletingAThreadThatStaysRunning) {
  EXPECT_DEATH(
      {
        cyg_sem_t started;
        cyg_semaphore_init(&started, 0);
        cyg_thread thread;
        cyg_handle_t handle = 0;
        cyg_thread_create(10, &Forever, reinterpret_cast<cyg_addrword_t>(&started), "endless", nullptr, 0, &handle,
                          &thread);
        cyg_thread_resume(handle);
        cyg_semaphore_wait(&started);
        cyg_thread_delete(handle);
      },
      "cyg_thread_delete: deleting thread \"endless\", which is still running " + ByThread("host thread"));
}

// A thread told to end that is still finishing when its owner deletes it: the delete waits for it.
TEST_F(ContractTest, DeletingAThreadThatEndsWithinTheGracePeriod) {
  struct Finishing {
    cyg_sem_t started;
    cyg_sem_t told;
  } f{};
  cyg_semaphore_init(&f.started, 0);
  cyg_semaphore_init(&f.told, 0);
  cyg_thread thread;
  cyg_handle_t handle = 0;
  cyg_thread_create(
      10,
      [](cyg_addrword_t data) {
        auto* fin = reinterpret_cast<Finishing*>(data);
        cyg_semaphore_post(&fin->started);
        cyg_semaphore_wait(&fin->told);
        // Its last pass, after the owner has already gone on to delete it.
        const struct timespec pause { 0, 50 * 1000 * 1000 };
        nanosleep(&pause, nullptr);
      },
      reinterpret_cast<cyg_addrword_t>(&f), "finishing", nullptr, 0, &handle, &thread);
  cyg_thread_resume(handle);
  cyg_semaphore_wait(&f.started);
  cyg_semaphore_post(&f.told);
  EXPECT_TRUE(cyg_thread_delete(handle));
  cyg_semaphore_destroy(&f.told);
  cyg_semaphore_destroy(&f.started);
}

}  // namespace
