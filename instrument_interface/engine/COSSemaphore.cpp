#include "engine/COSSemaphore.h"

void COSSemaphore::Init(std::int32_t initial_count, std::int32_t maximum) {
  failed_ = 1;
  cyg_semaphore_init(&sem_, initial_count);
  failed_ = 0;
  maximum_ = maximum;
}

void COSSemaphore::Destroy() { cyg_semaphore_destroy(&sem_); }

cyg_tick_count_t COSSemaphore::TicksFor(std::uint32_t timeout_ms) {
  const cyg_tick_count_t ticks = timeout_ms / 10u;
  return ticks == 0 ? 1 : ticks;
}

bool COSSemaphore::Wait(std::uint32_t timeout_ms, std::uint32_t* status) {
  bool taken;
  if (timeout_ms == 0) {
    taken = cyg_semaphore_trywait(&sem_);
  } else if (timeout_ms == kWaitForever) {
    taken = cyg_semaphore_wait(&sem_);
  } else {
    taken = cyg_semaphore_timed_wait(&sem_, cyg_current_time() + TicksFor(timeout_ms));
  }
  if (status != nullptr) *status = taken ? kStatusSuccess : kOsStatusTimedOut;
  return taken;
}

void COSSemaphore::Post() {
  // The scheduler lock makes the look at the count and the post one step against every other
  // poster; a waiter can only lower the count meanwhile, which keeps the bound.
  cyg_scheduler_lock();
  cyg_count32 count = 0;
  cyg_semaphore_peek(&sem_, &count);
  if (count < maximum_) cyg_semaphore_post(&sem_);
  cyg_scheduler_unlock();
}

std::int32_t COSSemaphore::Count() {
  cyg_count32 count = 0;
  cyg_semaphore_peek(&sem_, &count);
  return count;
}
