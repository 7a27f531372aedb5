// Real-time kernel calls of the board, provided on the host.
//
// The firmware uses the kernel's C API (threads, mutexes, counting semaphores, condition variables,
// event flags, scheduler lock, interrupt disable, real-time clock). On the host each kernel thread is
// a POSIX thread and the threads run truly in parallel:
//  - priorities are recorded, never relied on;
//  - stack sizes are recorded; the real stack of each thread is at least 256 KiB;
//  - one global re-entrant kernel lock stands for both the scheduler lock and "interrupts disabled";
//    a thread that blocks in a kernel wait gives it up and takes it back, at the same depth, on waking;
//  - time is counted in ticks of TickMicroseconds() (10 ms by default, see SetTickMicroseconds).
//
// Every call may be made from any thread, including threads the kernel did not create (the process's
// main thread, test threads): such a thread is adopted with a handle of its own on its first call.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <new>

typedef std::uintptr_t cyg_handle_t;
typedef std::uintptr_t cyg_addrword_t;
typedef std::uint8_t cyg_uint8;
typedef std::uint16_t cyg_uint16;
typedef std::uint32_t cyg_uint32;
typedef std::int32_t cyg_int32;
typedef std::uint32_t cyg_ucount32;
typedef std::int32_t cyg_count32;
typedef std::uint64_t cyg_tick_count_t;
typedef int cyg_priority_t;
typedef bool cyg_bool_t;
typedef std::uint32_t cyg_flag_value_t;
typedef std::uint8_t cyg_flag_mode_t;

typedef void cyg_thread_entry_t(cyg_addrword_t data);

namespace platform::kernel {
struct ThreadRecord;

// Life of a kernel object: a call on an object that is not live stops the process.
enum class ObjectState : std::uint8_t { kNeverInitialised = 0, kLive, kDestroyed };

// The condition variable inside a kernel object. Its destructor is never run: kernel objects live in
// static memory for the life of the program, as on the target, and a thread that never ends may still
// signal one while the process exits and static objects are torn down.
class KernelCondition {
 public:
  KernelCondition() noexcept { new (storage_) std::condition_variable(); }
  KernelCondition(const KernelCondition&) = delete;
  KernelCondition& operator=(const KernelCondition&) = delete;
  std::condition_variable& get() noexcept {
    return *std::launder(reinterpret_cast<std::condition_variable*>(storage_));
  }
  operator std::condition_variable&() noexcept { return get(); }
  void notify_one() noexcept { get().notify_one(); }
  void notify_all() noexcept { get().notify_all(); }

 private:
  alignas(std::condition_variable) unsigned char storage_[sizeof(std::condition_variable)];
};
}  // namespace platform::kernel

// Kernel objects are held by their users (inside other objects or as statics), as on the target.
// Their contents belong to the kernel.
//
// Contract checks (in every build): misuse of the kernel stops the process with a message naming the
// call and the calling thread: a call on an object never initialised or already destroyed, unlocking
// a mutex the thread does not own, locking a mutex the thread already holds (mutexes are not
// recursive), waiting on a condition without holding its mutex, a call that may block made from an
// ISR or DSR, and deleting a thread that is still running after a short grace period.

struct cyg_thread {
  platform::kernel::ThreadRecord* record = nullptr;
};

struct cyg_mutex_t {
  platform::kernel::KernelCondition wait;
  platform::kernel::ThreadRecord* owner = nullptr;
  platform::kernel::ObjectState state{};
};

struct cyg_sem_t {
  platform::kernel::KernelCondition wait;
  cyg_ucount32 count = 0;
  platform::kernel::ObjectState state{};
};

struct cyg_cond_t {
  platform::kernel::KernelCondition wait;
  cyg_mutex_t* mutex = nullptr;
  cyg_ucount32 waiters = 0;  // threads inside a wait
  void* queue = nullptr;     // the waiting threads, oldest first (kernel-private)
  platform::kernel::ObjectState state{};
};

struct cyg_flag_t {
  platform::kernel::KernelCondition wait;
  cyg_flag_value_t value = 0;
  platform::kernel::ObjectState state{};
};

enum : cyg_flag_mode_t {
  CYG_FLAG_WAITMODE_AND = 0,  // all bits of the pattern
  CYG_FLAG_WAITMODE_CLR = 1,  // clear the pattern's bits when the wait is satisfied
  CYG_FLAG_WAITMODE_OR = 2,   // any bit of the pattern
};

// --- threads ---------------------------------------------------------------------------------------

// Creates a thread, suspended: it runs only after cyg_thread_resume. `stack_base` and `stack_size`
// are recorded; the host thread gets a stack of max(stack_size, 256 KiB).
void cyg_thread_create(cyg_priority_t priority, cyg_thread_entry_t* entry, cyg_addrword_t entry_data, const char* name,
                       void* stack_base, cyg_ucount32 stack_size, cyg_handle_t* handle, cyg_thread* thread);
// Decrements the suspend count; the thread runs when it reaches 0 (the first resume starts it).
void cyg_thread_resume(cyg_handle_t thread);
// Suspends a thread. On the host only the calling thread can be stopped: suspending another thread
// only raises its count, which takes effect at its next kernel call that may block.
void cyg_thread_suspend(cyg_handle_t thread);
// Ends the calling thread.
[[noreturn]] void cyg_thread_exit();
void cyg_thread_yield();
void cyg_thread_delay(cyg_tick_count_t ticks);
cyg_handle_t cyg_thread_self();
void cyg_thread_set_priority(cyg_handle_t thread, cyg_priority_t priority);
cyg_priority_t cyg_thread_get_priority(cyg_handle_t thread);
const char* cyg_thread_get_name(cyg_handle_t thread);
// A small number identifying the thread (unique among the threads of the process, 16 bits).
cyg_uint16 cyg_thread_get_id(cyg_handle_t thread);
// Breaks the thread out of its current (or next) kernel wait; that wait returns false.
void cyg_thread_release(cyg_handle_t thread);
// Deletes a thread. A thread that never ran is discarded; one that has exited is joined and freed.
// A running thread cannot be stopped from outside: the call gives it a short grace period to exit
// (the thread's owner has just told it to end) and stops the process when it is still running.
// Returns true once the thread is gone.
cyg_bool_t cyg_thread_delete(cyg_handle_t thread);
// True when the thread has started running and has not exited yet.
cyg_bool_t cyg_thread_is_running(cyg_handle_t thread);

// --- mutexes ---------------------------------------------------------------------------------------

void cyg_mutex_init(cyg_mutex_t* mutex);
void cyg_mutex_destroy(cyg_mutex_t* mutex);
// Returns false when the wait was broken by cyg_thread_release.
cyg_bool_t cyg_mutex_lock(cyg_mutex_t* mutex);
// Only tries: false when the mutex is held, by another thread or by the caller.
cyg_bool_t cyg_mutex_trylock(cyg_mutex_t* mutex);
void cyg_mutex_unlock(cyg_mutex_t* mutex);

// --- counting semaphores ---------------------------------------------------------------------------

void cyg_semaphore_init(cyg_sem_t* sem, cyg_count32 count);
void cyg_semaphore_destroy(cyg_sem_t* sem);
cyg_bool_t cyg_semaphore_wait(cyg_sem_t* sem);
// Waits until the absolute tick `abstime`; an `abstime` not in the future only tries.
cyg_bool_t cyg_semaphore_timed_wait(cyg_sem_t* sem, cyg_tick_count_t abstime);
cyg_bool_t cyg_semaphore_trywait(cyg_sem_t* sem);
void cyg_semaphore_post(cyg_sem_t* sem);
void cyg_semaphore_peek(cyg_sem_t* sem, cyg_count32* value);

// --- condition variables ---------------------------------------------------------------------------

void cyg_cond_init(cyg_cond_t* cond, cyg_mutex_t* mutex);
void cyg_cond_destroy(cyg_cond_t* cond);
// The caller holds the condition's mutex; it is released during the wait and held again on return.
cyg_bool_t cyg_cond_wait(cyg_cond_t* cond);
cyg_bool_t cyg_cond_timed_wait(cyg_cond_t* cond, cyg_tick_count_t abstime);
void cyg_cond_signal(cyg_cond_t* cond);
void cyg_cond_broadcast(cyg_cond_t* cond);

// --- event flags -----------------------------------------------------------------------------------

void cyg_flag_init(cyg_flag_t* flag);
void cyg_flag_destroy(cyg_flag_t* flag);
void cyg_flag_setbits(cyg_flag_t* flag, cyg_flag_value_t value);
// Keeps only the bits set in `value`.
void cyg_flag_maskbits(cyg_flag_t* flag, cyg_flag_value_t value);
// Return the flag value that satisfied the wait (before any clear), or 0 when it failed.
cyg_flag_value_t cyg_flag_wait(cyg_flag_t* flag, cyg_flag_value_t pattern, cyg_flag_mode_t mode);
cyg_flag_value_t cyg_flag_timed_wait(cyg_flag_t* flag, cyg_flag_value_t pattern, cyg_flag_mode_t mode,
                                     cyg_tick_count_t abstime);
cyg_flag_value_t cyg_flag_poll(cyg_flag_t* flag, cyg_flag_value_t pattern, cyg_flag_mode_t mode);
cyg_flag_value_t cyg_flag_peek(cyg_flag_t* flag);

// --- scheduler lock and interrupt disable (one re-entrant kernel lock) ----------------------------

void cyg_scheduler_lock();
void cyg_scheduler_unlock();
cyg_ucount32 cyg_scheduler_read_lock();
void cyg_interrupt_disable();
void cyg_interrupt_enable();

// --- real-time clock -------------------------------------------------------------------------------

// Ticks since the kernel started.
cyg_tick_count_t cyg_current_time();

namespace platform::kernel {

// Length of one tick; the default comes from the environment variable TORVEX_TICK_US, else 10000 us.
// A change while the clock runs takes effect at the current tick: the tick count goes on from there
// without a jump, at the new length. A wait already under way keeps the real time its deadline had.
void SetTickMicroseconds(std::uint32_t microseconds);
std::uint32_t TickMicroseconds();

// Ticks for a time-out in milliseconds, as the firmware computes it: ms / 10, at least one.
cyg_tick_count_t MillisecondsToTicks(std::uint32_t milliseconds);

// Microsecond delay (real time, not scaled by the tick length): a busy wait up to
// kSpinDelayMicroseconds (the FIFO byte delays of the USB controller driver), a sleep beyond.
inline constexpr std::uint32_t kSpinDelayMicroseconds = 10;
void DelayMicroseconds(std::uint32_t microseconds);

// Recorded attributes of a thread (for tests and diagnostics).
struct ThreadInfo {
  const char* name;
  cyg_priority_t priority;
  cyg_ucount32 stack_size;
  void* stack_base;
};
ThreadInfo GetThreadInfo(cyg_handle_t thread);
// True while the thread's suspend count is above 0 (created and not yet resumed, or suspended).
bool IsSuspended(cyg_handle_t thread);

}  // namespace platform::kernel
