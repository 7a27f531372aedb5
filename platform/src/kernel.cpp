// Host implementation of the kernel calls (see platform/kernel.h).
//
// All kernel object state is guarded by one internal mutex (KernelMutex); every blocking wait is a
// std::condition_variable wait on it. The re-entrant kernel lock (scheduler lock / interrupt disable)
// is separate: a thread that must block while holding it gives it up completely and takes it back at
// the same depth after the wait, without holding KernelMutex (lock order: kernel lock, then
// KernelMutex; KernelMutex is never held while waiting for the kernel lock).
#include "platform/kernel.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kernel_internal.h"

namespace platform::kernel {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMinimumStack = 256 * 1024;

struct KernelLockState {
  std::mutex guard;
  std::condition_variable freed;
  ThreadRecord* owner = nullptr;
  cyg_ucount32 depth = 0;
};

KernelLockState& KLock() {
  static KernelLockState* state = new KernelLockState;  // never destroyed: used until exit
  return *state;
}

// The clock: the tick count is base.tick + (now - base.time) / base.tick_us. A new tick length
// starts a new base at the current tick, so that the count goes on without a jump. Bases are never
// freed: a reader may still hold the one it loaded (a run changes the tick once or twice). Each base
// keeps the one it replaced, so that every base stays reachable and none counts as a leak.
struct TimeBase {
  cyg_tick_count_t tick;
  Clock::time_point time;
  std::uint32_t tick_us;
  const TimeBase* replaced;
};

std::atomic<const TimeBase*> g_base{nullptr};

std::mutex& BaseLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

// TORVEX_TICK_US when it holds a valid length, else 10000 us.
std::uint32_t TickFromEnvironment() {
  if (const char* env = std::getenv("TORVEX_TICK_US")) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(env, &end, 10);
    if (end != env && *end == '\0' && v > 0 && v <= 10000000UL) return static_cast<std::uint32_t>(v);
  }
  return 10000;
}

// The base in use; the first call starts the clock at tick 0.
const TimeBase& Base() {
  if (const TimeBase* base = g_base.load(std::memory_order_acquire)) return *base;
  std::lock_guard<std::mutex> g(BaseLock());
  if (const TimeBase* base = g_base.load(std::memory_order_acquire)) return *base;
  const TimeBase* base = new TimeBase{0, Clock::now(), TickFromEnvironment(), nullptr};
  g_base.store(base, std::memory_order_release);
  return *base;
}

thread_local ThreadRecord* t_self = nullptr;

// Records of adopted threads (not created by the kernel) are kept for the life of the process: a
// handle is compared with owners of locks, so its address must never be reused by another thread,
// and the main thread still calls the kernel from static destructors after its thread-local
// objects are gone.
std::vector<std::unique_ptr<ThreadRecord>>& AdoptedRecords() {
  static auto* records = new std::vector<std::unique_ptr<ThreadRecord>>;
  return *records;
}

std::atomic<cyg_uint16> g_next_id{1};

cyg_uint16 NextThreadId() {
  cyg_uint16 id = g_next_id.fetch_add(1);
  if (id == 0) id = g_next_id.fetch_add(1);  // 0 is never an id
  return id;
}

}  // namespace

std::mutex& KernelMutex() {
  static std::mutex* m = new std::mutex;  // never destroyed: kernel objects may outlive statics
  return *m;
}

ThreadRecord* Self() {
  if (t_self == nullptr) {
    auto record = std::make_unique<ThreadRecord>();
    record->name = "host thread";
    record->adopted = true;
    record->state = ThreadRecord::State::kRunning;
    record->id = NextThreadId();
    t_self = record.get();
    // Its own lock: Self() may be called with KernelMutex held.
    static std::mutex* registry_lock = new std::mutex;
    std::lock_guard<std::mutex> g(*registry_lock);
    AdoptedRecords().push_back(std::move(record));
  }
  return t_self;
}

cyg_ucount32 ReleaseKernelLockForWait() {
  KernelLockState& k = KLock();
  ThreadRecord* self = Self();
  std::lock_guard<std::mutex> g(k.guard);
  if (k.owner != self) return 0;
  const cyg_ucount32 depth = k.depth;
  k.owner = nullptr;
  k.depth = 0;
  k.freed.notify_one();
  return depth;
}

void RetakeKernelLock(cyg_ucount32 depth) {
  if (depth == 0) return;
  KernelLockState& k = KLock();
  ThreadRecord* self = Self();
  std::unique_lock<std::mutex> g(k.guard);
  k.freed.wait(g, [&] { return k.owner == nullptr; });
  k.owner = self;
  k.depth = depth;
}

std::chrono::steady_clock::time_point TickToTimePoint(cyg_tick_count_t tick) {
  // A tick too far ahead for the clock (an absolute time near the maximum, or "forever") is the
  // latest time point, never a product that wraps into the past. A tick before the base (a deadline
  // taken under an earlier tick length) is already past.
  const TimeBase& base = Base();
  if (tick < base.tick) return base.time;
  using Micros = std::chrono::microseconds;
  const auto room = std::chrono::duration_cast<Micros>(Clock::time_point::max() - base.time).count();
  const cyg_tick_count_t ahead = tick - base.tick;
  if (ahead > static_cast<std::uint64_t>(room) / base.tick_us) return Clock::time_point::max();
  return base.time + Micros(static_cast<std::int64_t>(ahead * base.tick_us));
}

cyg_tick_count_t TicksFromNow(cyg_tick_count_t ticks) {
  const cyg_tick_count_t now = cyg_current_time();
  return ticks > ~cyg_tick_count_t{0} - now ? ~cyg_tick_count_t{0} : now + ticks;
}

void SetTickMicroseconds(std::uint32_t microseconds) {
  const std::uint32_t us = microseconds == 0 ? 1 : microseconds;
  std::lock_guard<std::mutex> g(BaseLock());
  const TimeBase* old = g_base.load(std::memory_order_acquire);
  const TimeBase* base;
  if (old == nullptr) {
    base = new TimeBase{0, Clock::now(), us, nullptr};
  } else {
    // The new base starts now, at the current count: the tick under way ends one new length later.
    const Clock::time_point now = Clock::now();
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - old->time).count();
    const cyg_tick_count_t ticks = static_cast<cyg_tick_count_t>(elapsed < 0 ? 0 : elapsed) / old->tick_us;
    base = new TimeBase{old->tick + ticks, now, us, old};
  }
  g_base.store(base, std::memory_order_release);
}

std::uint32_t TickMicroseconds() { return Base().tick_us; }

cyg_tick_count_t MillisecondsToTicks(std::uint32_t milliseconds) {
  const cyg_tick_count_t ticks = milliseconds / 10;
  return ticks == 0 ? 1 : ticks;
}

void DelayMicroseconds(std::uint32_t microseconds) {
  if (microseconds <= kSpinDelayMicroseconds) {
    // A sleep this short lasts tens of microseconds on the host, and its callers often wait with
    // interrupts disabled (the kernel lock held): a short delay is a busy wait, as on the target.
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(microseconds);
    while (std::chrono::steady_clock::now() < until) {
    }
    return;
  }
  std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

ThreadInfo GetThreadInfo(cyg_handle_t thread) {
  auto* r = reinterpret_cast<ThreadRecord*>(thread);
  std::lock_guard<std::mutex> g(KernelMutex());
  return ThreadInfo{r->name.c_str(), r->priority, r->stack_size, r->stack_base};
}

bool IsSuspended(cyg_handle_t thread) {
  auto* r = reinterpret_cast<ThreadRecord*>(thread);
  std::lock_guard<std::mutex> g(KernelMutex());
  return r->suspend_count > 0;
}

namespace {

void* ThreadTrampoline(void* arg) {
  auto* r = static_cast<ThreadRecord*>(arg);
  t_self = r;
  {
    std::unique_lock<std::mutex> g(KernelMutex());
    r->resumed.wait(g, [&] { return r->suspend_count == 0 || r->discard; });
    if (r->discard) {
      r->state = ThreadRecord::State::kExited;
      return nullptr;
    }
    r->state = ThreadRecord::State::kRunning;
  }
  r->entry(r->entry_data);
  MarkExited(r);
  return nullptr;
}

ThreadRecord* FromHandle(cyg_handle_t h) { return reinterpret_cast<ThreadRecord*>(h); }

}  // namespace

namespace {

thread_local bool t_interrupt_context = false;

}  // namespace

void ContractViolation(const char* call, const char* what) {
  const ThreadRecord* self = Self();
  std::fprintf(stderr, "%s: %s (thread \"%s\", id %u)\n", call, what, self->name.c_str(),
               static_cast<unsigned>(self->id));
  std::fflush(stderr);
  std::abort();
}

void SetInterruptContext(bool inside) { t_interrupt_context = inside; }

void CheckMayBlock(const char* call) {
  if (t_interrupt_context) ContractViolation(call, "a call that may block, made from an ISR or DSR");
}

namespace {

// Objects are checked with KernelMutex held (their state changes under it).
template <typename Object>
void CheckLive(const Object* object, const char* call) {
  if (object == nullptr) ContractViolation(call, "no object given");
  switch (object->state) {
    case ObjectState::kLive: return;
    case ObjectState::kNeverInitialised: ContractViolation(call, "the object was never initialised");
    case ObjectState::kDestroyed: ContractViolation(call, "the object was destroyed");
  }
  ContractViolation(call, "the object is not a kernel object");
}

// A thread that is told to end may still be finishing its last pass when its owner deletes it.
constexpr auto kDeleteGrace = std::chrono::seconds(3);

}  // namespace

void MarkExited(ThreadRecord* r) {
  // A thread that exits while holding the kernel lock gives it up.
  ReleaseKernelLockForWait();
  std::lock_guard<std::mutex> g(KernelMutex());
  r->state = ThreadRecord::State::kExited;
  r->exited.notify_all();
}

}  // namespace platform::kernel

using namespace platform::kernel;

// --- threads ---------------------------------------------------------------------------------------

void cyg_thread_create(cyg_priority_t priority, cyg_thread_entry_t* entry, cyg_addrword_t entry_data, const char* name,
                       void* stack_base, cyg_ucount32 stack_size, cyg_handle_t* handle, cyg_thread* thread) {
  auto* r = new ThreadRecord;
  r->name = name != nullptr ? name : "";
  r->priority = priority;
  r->stack_base = stack_base;
  r->stack_size = stack_size;
  r->entry = entry;
  r->entry_data = entry_data;
  r->suspend_count = 1;
  r->id = NextThreadId();

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, std::max<std::size_t>(stack_size, kMinimumStack));
  const int rc = pthread_create(&r->native, &attr, ThreadTrampoline, r);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    std::fprintf(stderr, "cyg_thread_create: %s: %s\n", r->name.c_str(), std::strerror(rc));
    std::abort();
  }
  if (thread != nullptr) thread->record = r;
  if (handle != nullptr) *handle = reinterpret_cast<cyg_handle_t>(r);
}

void cyg_thread_resume(cyg_handle_t thread) {
  ThreadRecord* r = FromHandle(thread);
  std::lock_guard<std::mutex> g(KernelMutex());
  if (r->suspend_count > 0) --r->suspend_count;
  if (r->suspend_count == 0) r->resumed.notify_all();
}

void cyg_thread_suspend(cyg_handle_t thread) {
  ThreadRecord* r = FromHandle(thread);
  if (r == Self()) CheckMayBlock("cyg_thread_suspend");
  std::unique_lock<std::mutex> g(KernelMutex());
  ++r->suspend_count;
  if (r != Self()) return;
  // Only a resume ends a suspension. A release that arrives meanwhile is kept for the next wait.
  bool released = false;
  while (!BlockingWait(
      g, r->resumed, [&] { return r->suspend_count == 0; }, nullptr))
    released = true;
  if (released) r->release_pending = true;
}

void cyg_thread_exit() {
  ThreadRecord* self = Self();
  if (self->adopted) {
    std::fprintf(stderr, "cyg_thread_exit: called by a thread the kernel did not create\n");
    std::abort();
  }
  MarkExited(self);
  pthread_exit(nullptr);
}

void cyg_thread_yield() { std::this_thread::yield(); }

void cyg_thread_delay(cyg_tick_count_t ticks) {
  if (ticks == 0) {
    cyg_thread_yield();
    return;
  }
  CheckMayBlock("cyg_thread_delay");
  const auto deadline = TickToTimePoint(TicksFromNow(ticks));
  ThreadRecord* self = Self();
  std::unique_lock<std::mutex> g(KernelMutex());
  // Sleeps on its own condition; only a release ends it early.
  BlockingWait(
      g, self->delay, [] { return false; }, &deadline);
}

cyg_handle_t cyg_thread_self() { return reinterpret_cast<cyg_handle_t>(Self()); }

void cyg_thread_set_priority(cyg_handle_t thread, cyg_priority_t priority) {
  std::lock_guard<std::mutex> g(KernelMutex());
  FromHandle(thread)->priority = priority;
}

cyg_priority_t cyg_thread_get_priority(cyg_handle_t thread) {
  std::lock_guard<std::mutex> g(KernelMutex());
  return FromHandle(thread)->priority;
}

const char* cyg_thread_get_name(cyg_handle_t thread) { return FromHandle(thread)->name.c_str(); }

cyg_uint16 cyg_thread_get_id(cyg_handle_t thread) { return FromHandle(thread)->id; }

void cyg_thread_release(cyg_handle_t thread) {
  ThreadRecord* r = FromHandle(thread);
  std::lock_guard<std::mutex> g(KernelMutex());
  r->release_pending = true;
  if (r->waiting_on != nullptr) r->waiting_on->notify_all();
}

cyg_bool_t cyg_thread_delete(cyg_handle_t thread) {
  ThreadRecord* r = FromHandle(thread);
  if (r == nullptr || r->adopted) return false;
  if (r == Self()) return false;  // a thread cannot delete itself
  {
    std::unique_lock<std::mutex> g(KernelMutex());
    if (r->state == ThreadRecord::State::kCreated && r->suspend_count > 0) {
      r->discard = true;  // never started: let its host thread end without running the entry
      r->resumed.notify_all();
    } else if (r->state != ThreadRecord::State::kExited) {
      const bool ended = r->exited.wait_for(g, kDeleteGrace, [&] { return r->state == ThreadRecord::State::kExited; });
      if (!ended) {
        g.unlock();
        const std::string message = "deleting thread \"" + r->name + "\", which is still running";
        ContractViolation("cyg_thread_delete", message.c_str());
      }
    }
  }
  pthread_join(r->native, nullptr);
  delete r;
  return true;
}

cyg_bool_t cyg_thread_is_running(cyg_handle_t thread) {
  std::lock_guard<std::mutex> g(KernelMutex());
  return FromHandle(thread)->state == ThreadRecord::State::kRunning;
}

// --- mutexes ---------------------------------------------------------------------------------------

void cyg_mutex_init(cyg_mutex_t* mutex) {
  if (mutex == nullptr) ContractViolation("cyg_mutex_init", "no object given");
  std::lock_guard<std::mutex> g(KernelMutex());
  mutex->owner = nullptr;
  mutex->state = ObjectState::kLive;
}

void cyg_mutex_destroy(cyg_mutex_t* mutex) {
  std::lock_guard<std::mutex> g(KernelMutex());
  CheckLive(mutex, "cyg_mutex_destroy");
  mutex->state = ObjectState::kDestroyed;
}

cyg_bool_t cyg_mutex_lock(cyg_mutex_t* mutex) {
  CheckMayBlock("cyg_mutex_lock");
  ThreadRecord* self = Self();
  std::unique_lock<std::mutex> g(KernelMutex());
  CheckLive(mutex, "cyg_mutex_lock");
  if (mutex->owner == self) ContractViolation("cyg_mutex_lock", "locking a mutex the thread already holds");
  const bool ok = BlockingWait(
      g, mutex->wait, [&] { return mutex->owner == nullptr; }, nullptr);
  if (ok) mutex->owner = self;
  return ok;
}

cyg_bool_t cyg_mutex_trylock(cyg_mutex_t* mutex) {
  ThreadRecord* self = Self();
  std::lock_guard<std::mutex> g(KernelMutex());
  CheckLive(mutex, "cyg_mutex_trylock");
  if (mutex->owner != nullptr) return false;
  mutex->owner = self;
  return true;
}

void cyg_mutex_unlock(cyg_mutex_t* mutex) {
  ThreadRecord* self = Self();
  std::lock_guard<std::mutex> g(KernelMutex());
  CheckLive(mutex, "cyg_mutex_unlock");
  if (mutex->owner != self) ContractViolation("cyg_mutex_unlock", "unlocking a mutex the thread does not own");
  mutex->owner = nullptr;
  mutex->wait.notify_one();
}

// --- counting semaphores ---------------------------------------------------------------------------

void cyg_semaphore_init(cyg_sem_t* sem, cyg_count32 count) {
  if (sem == nullptr) ContractViolation("cyg_semaphore_init", "no object given");
  std::lock_guard<std::mutex> g(KernelMutex());
  sem->count = count < 0 ? 0 : static_cast<cyg_ucount32>(count);
  sem->state = ObjectState::kLive;
}

void cyg_semaphore_destroy(cyg_sem_t* sem) {
  std::lock_guard<std::mutex> g(KernelMutex());
  CheckLive(sem, "cyg_semaphore_destroy");
  sem->state = ObjectState::kDestroyed;
}

cyg_bool_t cyg_semaphore_wait(cyg_sem_t* sem) {
  CheckMayBlock("cyg_semaphore_wait");
  std::unique_lock<std::mutex> g(KernelMutex());
  CheckLive(sem, "cyg_semaphore_wait");
  if (!BlockingWait(
          g, sem->wait, [&] { return sem->count > 0; }, nullptr))
    return false;
  --sem->count;
  return true;
}

cyg_bool_t cyg_semaphore_timed_wait(cyg_sem_t* sem, cyg_tick_count_t abstime) {
  CheckMayBlock("cyg_semaphore_timed_wait");
  const auto deadline = TickToTimePoint(abstime);
  std::unique_lock<std::mutex> g(KernelMutex());
  CheckLive(sem, "cyg_semaphore_timed_wait");
  if (!BlockingWait(
          g, sem->wait, [&] { return sem->count > 0; }, &deadline))
    return false;
  --sem->count;
  return true;
}

cyg_bool_t cyg_semaphore_trywait(cyg_sem_t* sem) {
  std::lock_guard<std::mutex> g(KernelMutex());
  CheckLive(sem, "cyg_semaphore_trywait");
  if (sem->count == 0) return false;
  --sem->count;
  return true;
}

void cyg_semaphore_post(cyg_sem_t* sem) {
  std::lock_guard<std::mutex> g(KernelMutex());
  CheckLive(sem, "cyg_semaphore_post");
  ++sem->count;
  sem->wait.notify_one();
}

void cyg_semaphore_peek(cyg_sem_t* sem, cyg_count32* value) {
  std::lock_guard<std::mutex> g(KernelMutex());
  CheckLive(sem, "cyg_semaphore_peek");
  *value = static_cast<cyg_count32>(sem->count);
}

// --- condition variables ---------------------------------------------------------------------------

void cyg_cond_init(cyg_cond_t* cond, cyg_mutex_t* mutex) {
  if (cond == nullptr) ContractViolation("cyg_cond_init", "no object given");
  std::lock_guard<std::mutex> g(KernelMutex());
  CheckLive(mutex, "cyg_cond_init");
  cond->mutex = mutex;
  cond->state = ObjectState::kLive;
}

void cyg_cond_destroy(cyg_cond_t* cond) {
  std::lock_guard<std::mutex> g(KernelMutex());
  CheckLive(cond, "cyg_cond_destroy");
  cond->state = ObjectState::kDestroyed;
}

namespace {

// One waiting thread of a condition variable, on its own stack. A signal marks the oldest waiter
// not yet signalled, a broadcast every waiter present: a thread that starts waiting afterwards never
// takes a wake-up meant for the threads that were already waiting.
struct CondWaiter {
  CondWaiter* next = nullptr;
  bool signalled = false;
};

// Gives up the condition's mutex and waits for a signal; the mutex is held again on return,
// whatever ended the wait. Returns false on time-out or release.
cyg_bool_t CondWait(const char* call, cyg_cond_t* cond, const std::chrono::steady_clock::time_point* deadline) {
  CheckMayBlock(call);
  ThreadRecord* self = Self();
  std::unique_lock<std::mutex> g(KernelMutex());
  CheckLive(cond, call);
  cyg_mutex_t* m = cond->mutex;
  CheckLive(m, call);
  if (m->owner != self) ContractViolation(call, "waiting on a condition without holding its mutex");
  m->owner = nullptr;
  m->wait.notify_one();
  CondWaiter me;
  if (cond->queue == nullptr) {
    cond->queue = &me;
  } else {
    auto* last = static_cast<CondWaiter*>(cond->queue);
    while (last->next != nullptr) last = last->next;
    last->next = &me;
  }
  ++cond->waiters;
  bool ok = BlockingWait(
      g, cond->wait, [&] { return me.signalled; }, deadline);
  ok = ok || me.signalled;
  if (cond->queue == &me) {
    cond->queue = me.next;
  } else {
    for (auto* w = static_cast<CondWaiter*>(cond->queue); w != nullptr; w = w->next) {
      if (w->next == &me) {
        w->next = me.next;
        break;
      }
    }
  }
  --cond->waiters;
  while (!BlockingWait(
      g, m->wait, [&] { return m->owner == nullptr; }, nullptr))
    ok = false;
  m->owner = self;
  return ok;
}

void CondSignal(const char* call, cyg_cond_t* cond, bool all) {
  std::lock_guard<std::mutex> g(KernelMutex());
  CheckLive(cond, call);
  bool any = false;
  for (auto* w = static_cast<CondWaiter*>(cond->queue); w != nullptr; w = w->next) {
    if (w->signalled) continue;
    w->signalled = true;
    any = true;
    if (!all) break;
  }
  if (any) cond->wait.notify_all();
}

}  // namespace

cyg_bool_t cyg_cond_wait(cyg_cond_t* cond) { return CondWait("cyg_cond_wait", cond, nullptr); }

cyg_bool_t cyg_cond_timed_wait(cyg_cond_t* cond, cyg_tick_count_t abstime) {
  const auto deadline = TickToTimePoint(abstime);
  return CondWait("cyg_cond_timed_wait", cond, &deadline);
}

void cyg_cond_signal(cyg_cond_t* cond) { CondSignal("cyg_cond_signal", cond, false); }

void cyg_cond_broadcast(cyg_cond_t* cond) { CondSignal("cyg_cond_broadcast", cond, true); }

// --- event flags -----------------------------------------------------------------------------------

void cyg_flag_init(cyg_flag_t* flag) {
  if (flag == nullptr) ContractViolation("cyg_flag_init", "no object given");
  std::lock_guard<std::mutex> g(KernelMutex());
  flag->value = 0;
  flag->state = ObjectState::kLive;
}

void cyg_flag_destroy(cyg_flag_t* flag) {
  std::lock_guard<std::mutex> g(KernelMutex());
  CheckLive(flag, "cyg_flag_destroy");
  flag->state = ObjectState::kDestroyed;
}

void cyg_flag_setbits(cyg_flag_t* flag, cyg_flag_value_t value) {
  std::lock_guard<std::mutex> g(KernelMutex());
  CheckLive(flag, "cyg_flag_setbits");
  flag->value |= value;
  flag->wait.notify_all();
}

void cyg_flag_maskbits(cyg_flag_t* flag, cyg_flag_value_t value) {
  std::lock_guard<std::mutex> g(KernelMutex());
  CheckLive(flag, "cyg_flag_maskbits");
  flag->value &= value;
}

namespace {

bool FlagSatisfied(cyg_flag_value_t value, cyg_flag_value_t pattern, cyg_flag_mode_t mode) {
  if (mode & CYG_FLAG_WAITMODE_OR) return (value & pattern) != 0;
  return (value & pattern) == pattern;
}

cyg_flag_value_t FlagWait(const char* call, cyg_flag_t* flag, cyg_flag_value_t pattern, cyg_flag_mode_t mode,
                          const std::chrono::steady_clock::time_point* deadline) {
  CheckMayBlock(call);
  std::unique_lock<std::mutex> g(KernelMutex());
  CheckLive(flag, call);
  if (pattern == 0) return 0;
  if (!BlockingWait(
          g, flag->wait, [&] { return FlagSatisfied(flag->value, pattern, mode); }, deadline)) {
    return 0;
  }
  const cyg_flag_value_t result = flag->value;
  if (mode & CYG_FLAG_WAITMODE_CLR) flag->value &= ~pattern;
  return result;
}

}  // namespace

cyg_flag_value_t cyg_flag_wait(cyg_flag_t* flag, cyg_flag_value_t pattern, cyg_flag_mode_t mode) {
  return FlagWait("cyg_flag_wait", flag, pattern, mode, nullptr);
}

cyg_flag_value_t cyg_flag_timed_wait(cyg_flag_t* flag, cyg_flag_value_t pattern, cyg_flag_mode_t mode,
                                     cyg_tick_count_t abstime) {
  const auto deadline = TickToTimePoint(abstime);
  return FlagWait("cyg_flag_timed_wait", flag, pattern, mode, &deadline);
}

cyg_flag_value_t cyg_flag_poll(cyg_flag_t* flag, cyg_flag_value_t pattern, cyg_flag_mode_t mode) {
  std::lock_guard<std::mutex> g(KernelMutex());
  CheckLive(flag, "cyg_flag_poll");
  if (pattern == 0) return 0;
  if (!FlagSatisfied(flag->value, pattern, mode)) return 0;
  const cyg_flag_value_t result = flag->value;
  if (mode & CYG_FLAG_WAITMODE_CLR) flag->value &= ~pattern;
  return result;
}

cyg_flag_value_t cyg_flag_peek(cyg_flag_t* flag) {
  std::lock_guard<std::mutex> g(KernelMutex());
  CheckLive(flag, "cyg_flag_peek");
  return flag->value;
}

// --- scheduler lock and interrupt disable ----------------------------------------------------------

void cyg_scheduler_lock() {
  KernelLockState& k = KLock();
  ThreadRecord* self = Self();
  std::unique_lock<std::mutex> g(k.guard);
  if (k.owner == self) {
    ++k.depth;
    return;
  }
  k.freed.wait(g, [&] { return k.owner == nullptr; });
  k.owner = self;
  k.depth = 1;
}

void cyg_scheduler_unlock() {
  KernelLockState& k = KLock();
  ThreadRecord* self = Self();
  std::lock_guard<std::mutex> g(k.guard);
  if (k.owner != self || k.depth == 0) return;  // not held by the caller: nothing to release
  if (--k.depth == 0) {
    k.owner = nullptr;
    k.freed.notify_one();
  }
}

cyg_ucount32 cyg_scheduler_read_lock() {
  KernelLockState& k = KLock();
  ThreadRecord* self = Self();
  std::lock_guard<std::mutex> g(k.guard);
  return k.owner == self ? k.depth : 0;
}

void cyg_interrupt_disable() { cyg_scheduler_lock(); }

void cyg_interrupt_enable() { cyg_scheduler_unlock(); }

// --- real-time clock -------------------------------------------------------------------------------

cyg_tick_count_t cyg_current_time() {
  const TimeBase& base = Base();
  const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - base.time).count();
  return base.tick + static_cast<cyg_tick_count_t>(elapsed < 0 ? 0 : elapsed) / base.tick_us;
}
