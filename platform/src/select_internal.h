// Select waiters: each thread that waits in select() has one waiter (an id and an eventfd). Drivers
// record the waiter's id with cyg_selrecord; cyg_selwakeup signals its eventfd.
#pragma once

#include <cstdint>
#include <mutex>

namespace platform::selectwait {

std::mutex& Lock();
// With Lock() held: signal the waiter `id` (no effect when it is gone), or every live waiter.
void WakeLocked(std::uint64_t id);
void WakeAllLocked();

struct Waiter {
  std::uint64_t id;
  int event_fd;
};
// The calling thread's waiter, created on first use and removed when the thread ends.
const Waiter& ThisThreadWaiter();
// Empties the waiter's eventfd, so that only wake-ups after this call are seen.
void Drain(const Waiter& waiter);

}  // namespace platform::selectwait
