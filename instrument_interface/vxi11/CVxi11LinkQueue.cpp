#include "vxi11/CVxi11LinkQueue.h"

#include <new>

#include "vxi11/CVxi11EventDispatcherGate.h"
#include "vxi11/CVxi11IoCompletionWaiter.h"
#include "vxi11/CVxi11LockManager.h"
#include "vxi11/CVxi11Semaphore.h"
#include "vxi11/Vxi11Status.h"

struct CVxi11LinkQueue::Entry {
  std::uint32_t lid = 0;
  std::uint8_t aborted = 0;
  std::uint8_t waiting = 0;
  std::uint8_t removed = 0;  // taken off the queue by Disable while its owner waited
  std::int32_t priority = 0;
  CVxi11Semaphore semaphore;
  Entry* next = nullptr;
};

CVxi11LinkQueue::CVxi11LinkQueue(CVxi11EventDispatcherGate* gate, CVxi11IoCompletionWaiter* waiter,
                                 CVxi11LockManager* locks)
    : gate_(gate), waiter_(waiter), locks_(locks) {
  mutex_.Init();
}

CVxi11LinkQueue::~CVxi11LinkQueue() {
  while (head_ != nullptr) {
    Entry* next = head_->next;
    head_->semaphore.Destroy();
    delete head_;
    head_ = next;
  }
  mutex_.Destroy();
}

CVxi11LinkQueue::Entry* CVxi11LinkQueue::Find(std::uint32_t lid) {
  for (Entry* e = head_; e != nullptr; e = e->next) {
    if (e->lid == lid) return e;
  }
  return nullptr;
}

void CVxi11LinkQueue::Unlink(Entry* entry) {
  Entry* previous = nullptr;
  for (Entry* e = head_; e != nullptr; previous = e, e = e->next) {
    if (e != entry) continue;
    if (previous == nullptr) {
      head_ = e->next;
    } else {
      previous->next = e->next;
    }
    if (tail_ == e) tail_ = previous;
    e->next = nullptr;
    return;
  }
}

void CVxi11LinkQueue::Enqueue(std::uint32_t lid, std::uint32_t* status) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  if (enabled_ == 0) {
    mutex_.Unlock();
    *status = kVxi11StatusAborted;
    return;
  }
  Entry* entry = new (std::nothrow) Entry;
  if (entry != nullptr) entry->semaphore.Init(0, 1);
  if (entry == nullptr || entry->semaphore.IsFailed()) {
    delete entry;
    mutex_.Unlock();
    *status = kStatusOutOfMemory;
    return;
  }
  entry->lid = lid;
  if (tail_ == nullptr) {
    head_ = tail_ = entry;
  } else {
    tail_->next = entry;
    tail_ = entry;
  }
  mutex_.Unlock();
  *status = kStatusSuccess;
}

void CVxi11LinkQueue::WaitTurn(std::uint32_t lid, std::uint32_t timeout_ms, std::uint32_t* status,
                               CVxi11WaitCancel* cancel) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  Entry* entry = enabled_ == 0 ? nullptr : Find(lid);
  if (entry == nullptr) {
    mutex_.Unlock();
    *status = kVxi11StatusAborted;
    return;
  }
  if (head_ == entry) {
    mutex_.Unlock();
    *status = kStatusSuccess;
    return;
  }
  entry->waiting = 1;
  mutex_.Unlock();

  std::uint32_t wait_status = 0;
  const bool woken = entry->semaphore.Wait(timeout_ms, &wait_status, cancel);

  mutex_.Lock(&ignored);
  entry->waiting = 0;
  if (entry->removed != 0) {
    mutex_.Unlock();
    entry->semaphore.Destroy();
    delete entry;
    *status = kVxi11StatusAborted;
    return;
  }
  if (head_ == entry) {
    *status = kStatusSuccess;
  } else if (!woken) {
    *status = wait_status;
  } else {
    *status = entry->aborted != 0 ? kVxi11StatusAborted : kStatusNotReported;
  }
  mutex_.Unlock();
}

void CVxi11LinkQueue::Promote(std::uint32_t lid) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  Entry* entry = enabled_ == 0 ? nullptr : Find(lid);
  if (entry != nullptr) {
    entry->priority = 1;
    Entry* first_lower = nullptr;
    for (Entry* e = head_; e != nullptr && e != entry; e = e->next) {
      if (e->priority < 1) {
        first_lower = e;
        break;
      }
    }
    if (first_lower != nullptr) {
      Unlink(entry);
      Entry* previous = nullptr;
      for (Entry* e = head_; e != first_lower; e = e->next) previous = e;
      entry->next = first_lower;
      if (previous == nullptr) {
        head_ = entry;
      } else {
        previous->next = entry;
      }
      if (tail_ == nullptr) tail_ = entry;
    }
  }
  mutex_.Unlock();
}

void CVxi11LinkQueue::Dequeue(std::uint32_t lid) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  Entry* entry = enabled_ == 0 ? nullptr : Find(lid);
  if (entry != nullptr) {
    Unlink(entry);
    entry->semaphore.Destroy();
    delete entry;
    if (head_ != nullptr && head_->waiting != 0) {
      head_->waiting = 0;
      head_->semaphore.Post();
    }
  }
  mutex_.Unlock();
}

bool CVxi11LinkQueue::IsAborted() {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  const bool aborted = enabled_ == 0 || (head_ != nullptr && head_->aborted != 0);
  mutex_.Unlock();
  return aborted;
}

void CVxi11LinkQueue::Abort(std::uint32_t lid) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  if (enabled_ != 0) {
    locks_->AbortWait(lid);
    Entry* entry = Find(lid);
    if (entry != nullptr) {
      gate_->AbortWait(lid);
      waiter_->Abort(lid);
      // Marked also while it runs: a write or read asks after every chunk.
      entry->aborted = 1;
      if (entry->waiting != 0) {
        entry->waiting = 0;
        entry->semaphore.Post();
      }
    }
  }
  mutex_.Unlock();
}

void CVxi11LinkQueue::Enable() {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  enabled_ = 1;
  mutex_.Unlock();
}

void CVxi11LinkQueue::Disable() {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  Entry* e = head_;
  head_ = tail_ = nullptr;
  while (e != nullptr) {
    Entry* next = e->next;
    e->next = nullptr;
    if (e->waiting != 0) {
      e->waiting = 0;
      e->removed = 1;
      e->semaphore.Post();  // its waiter frees it
    } else {
      e->semaphore.Destroy();
      delete e;
    }
    e = next;
  }
  enabled_ = 0;
  mutex_.Unlock();
}

int CVxi11LinkQueue::Snapshot(std::uint32_t* lids, int capacity) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  int n = 0;
  for (Entry* e = head_; e != nullptr && n < capacity; e = e->next) lids[n++] = e->lid;
  mutex_.Unlock();
  return n;
}
