#include "engine/CEventQueue.h"

#include <new>

#include "engine/DoVovuriStatus.h"

CEventQueue::CEventQueue(std::uint32_t capacity) : status_(kStatusNotReported), capacity_(capacity) {
  // One count more than the ring holds, so that an abort's post is never dropped when the ring is full
  // (a dropped abort would leave a stopping event loop asleep).
  semaphore_.Init(0, static_cast<std::int32_t>(capacity) + 1);
  if (semaphore_.IsFailed()) return;
  entries_ = new (std::nothrow) DoVovuriEventEntry[capacity];
  if (entries_ == nullptr) {
    status_ = kStatusOutOfMemory;
    return;
  }
  for (std::uint32_t i = 0; i < capacity; ++i) {
    entries_[i] = DoVovuriEventEntry{kEventCodeNone, 0, nullptr, nullptr, nullptr, 0};
  }
  ok_ = 1;
  status_ = kStatusSuccess;
}

CEventQueue::~CEventQueue() {
  delete[] entries_;
  if (!semaphore_.IsFailed()) semaphore_.Destroy();
}

void CEventQueue::Post(const DoVovuriEventEntry& entry, std::uint32_t* status) {
  if (count_ >= capacity_) {
    *status = kStatusEventQueueFull;
    return;
  }
  entries_[write_] = entry;
  write_ = (write_ + 1) % capacity_;
  ++count_;
  if (count_ > high_water_.load()) high_water_.store(count_);
  semaphore_.Post();
  *status = kStatusSuccess;
}

void CEventQueue::Wait(bool wait_forever, std::uint32_t* status) {
  std::uint32_t wait_status = kStatusNotReported;
  const bool taken = semaphore_.Wait(wait_forever ? COSSemaphore::kWaitForever : 0, &wait_status);
  if (!taken) {
    *status = wait_status == kOsStatusTimedOut ? kStatusEventWaitTimedOut : kStatusNotReported;
    return;
  }
  if (abort_ != 0) {
    abort_ = 0;
    *status = kStatusEventWaitAborted;
    return;
  }
  *status = kStatusSuccess;
}

void CEventQueue::Get(DoVovuriEventEntry* entry, std::uint32_t* status) {
  if (count_ == 0) {
    *status = kStatusEventQueueEmpty;
    return;
  }
  *entry = entries_[read_];
  entries_[read_].code = kEventCodeNone;
  read_ = (read_ + 1) % capacity_;
  --count_;
  *status = kStatusSuccess;
}

void CEventQueue::Abort(std::uint32_t* status) {
  abort_ = 1;
  semaphore_.Post();
  *status = kStatusSuccess;
}

std::uint32_t CEventQueue::ForgetBuffer(const void* buffer) {
  std::uint32_t changed = 0;
  for (std::uint32_t i = 0; i < count_; ++i) {
    DoVovuriEventEntry& entry = entries_[(read_ + i) % capacity_];
    if (entry.buffer == buffer) {
      entry.buffer = nullptr;
      entry.data = 0;
      ++changed;
    }
  }
  return changed;
}
