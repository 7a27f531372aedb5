// Counting semaphore of the instrument-interface layer, with waits in milliseconds.
//
// The count never exceeds the maximum given to Init: a post that would pass it is dropped, and the
// check and the post are one step, so concurrent posters cannot push the count past the bound. Every
// semaphore of the layer has maximum 1 except the event queue's (its capacity). Any thread may post or
// wait; posting never blocks.
#pragma once

#include <cstdint>

#include "engine/DoVovuriStatus.h"
#include "platform/kernel.h"

class COSSemaphore {
 public:
  static constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;

  void Init(std::int32_t initial_count, std::int32_t maximum);
  void Destroy();
  bool IsFailed() const { return failed_ != 0; }

  // Time-out in ms: 0 only tries; kWaitForever waits without limit; any other value waits
  // timeout / 10 ticks, at least one. Status 0 when the semaphore was taken, else 6 (timed out, or the
  // wait was broken): a caller never goes on as if it held a token it did not get. Returns whether it
  // was taken.
  bool Wait(std::uint32_t timeout_ms, std::uint32_t* status);
  void Post();

  // Ticks a timed wait of `timeout_ms` lasts (the firmware's rounding: ms / 10, at least one).
  static cyg_tick_count_t TicksFor(std::uint32_t timeout_ms);
  std::int32_t Count();

 private:
  std::uint8_t failed_ = 1;
  cyg_sem_t sem_;
  std::int32_t maximum_ = 0;
};
