// CEventQueue: the ring of event entries of one engine device, with the counting semaphore that wakes
// the device's event-loop thread.
//
// Transport handlers post (on transport threads, while the transport is not suspended); the event
// loop waits on the semaphore and then takes an entry out under the engine device's mutex with the
// transport suspended. The queue has no lock of its own: that exclusion is what keeps its users apart.
// Posting and taking allocate nothing; entries are copied in and out by value.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/COSSemaphore.h"

// Called by the event loop as (event code, data word, context, buffer). The result is not used.
using DoVovuriEventFunction = std::uint32_t (*)(std::uint32_t code, std::uint32_t data, void* context, void* buffer);

// One event. While queued, `buffer` is the engine's message buffer (CMessageBuffer*) handed back with
// the event, or null; the wait turns it into the application buffer's address.
struct DoVovuriEventEntry {
  std::uint32_t code;  // kEventCodeNone: no event
  std::uint32_t data;  // a byte count, or 0
  DoVovuriEventFunction function;
  void* context;
  void* buffer;
  std::uint8_t acknowledge;  // 1: the engine must be told after the function has run
};

class CEventQueue {
 public:
  explicit CEventQueue(std::uint32_t capacity);
  ~CEventQueue();

  CEventQueue(const CEventQueue&) = delete;
  CEventQueue& operator=(const CEventQueue&) = delete;

  bool IsOk() const { return ok_ != 0; }
  std::uint32_t Status() const { return status_; }
  std::uint32_t Capacity() const { return capacity_; }
  std::uint32_t Count() const { return count_; }
  // The most entries the queue has held (diagnostics; any thread).
  std::uint32_t HighWater() const { return high_water_.load(); }

  // kStatusEventQueueFull and the entry is dropped when the queue is full.
  void Post(const DoVovuriEventEntry& entry, std::uint32_t* status);
  // Waits for a post (forever, or only a poll): kStatusEventWaitTimedOut when nothing is there,
  // kStatusEventWaitAborted when aborted.
  void Wait(bool wait_forever, std::uint32_t* status);
  // kStatusEventQueueEmpty when empty.
  void Get(DoVovuriEventEntry* entry, std::uint32_t* status);
  // Wakes one wait with kStatusEventWaitAborted.
  void Abort(std::uint32_t* status);
  // Clears the buffer of every queued entry that carries `buffer` (the buffer is about to go away).
  // Returns how many entries were changed.
  std::uint32_t ForgetBuffer(const void* buffer);

 private:
  DoVovuriEventEntry* entries_ = nullptr;
  COSSemaphore semaphore_;
  std::uint8_t ok_ = 0;
  std::uint32_t status_;
  std::atomic<std::uint8_t> abort_{0};
  std::uint32_t capacity_;
  std::uint32_t count_ = 0;
  std::atomic<std::uint32_t> high_water_{0};
  std::uint32_t read_ = 0;
  std::uint32_t write_ = 0;
};
