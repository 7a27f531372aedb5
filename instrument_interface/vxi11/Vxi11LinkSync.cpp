#include "vxi11/Vxi11LinkSync.h"

#include <chrono>
#include <new>

#include "vxi11/CVxi11PhysicalInterface.h"

namespace {

// The waits of this file are bounded by a monotonic clock: the time a link operation spends blocked
// counts against its io_timeout.
std::uint64_t NowMicroseconds() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

}  // namespace

// ===================================================================================================
// CVxi11Semaphore

namespace {
constexpr int kSpinMicroseconds = 30;
}  // namespace

void CVxi11Semaphore::Init(std::int32_t initial_count, std::int32_t maximum) {
  std::lock_guard<std::mutex> hold(mutex_);
  maximum_ = maximum < 1 ? 1 : maximum;
  count_ = initial_count < 0 ? 0 : (initial_count > maximum_ ? maximum_ : initial_count);
}

bool CVxi11Semaphore::Wait(std::uint32_t timeout_ms, std::uint32_t* status) {
  if (timeout_ms != 0) {
    // Most waits of a query end within microseconds (the engine answers at once): look a few times
    // before going to sleep, which saves the wake-up's latency.
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(kSpinMicroseconds);
    do {
      {
        std::lock_guard<std::mutex> hold(mutex_);
        if (count_ > 0) {
          --count_;
          if (status != nullptr) *status = kStatusSuccess;
          return true;
        }
      }
      std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < until);
  }
  std::unique_lock<std::mutex> hold(mutex_);
  bool taken;
  if (timeout_ms == kVxi11WaitForever) {
    posted_.wait(hold, [&] { return count_ > 0; });
    taken = true;
  } else {
    taken = posted_.wait_for(hold, std::chrono::milliseconds(timeout_ms), [&] { return count_ > 0; });
  }
  if (taken) --count_;
  if (status != nullptr) *status = taken ? kStatusSuccess : kVxi11StatusTimedOut;
  return taken;
}

void CVxi11Semaphore::Post() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (count_ < maximum_) ++count_;
  posted_.notify_one();
}

// ===================================================================================================
// CVxi11LockManager

struct CVxi11LockManager::Node {
  std::uint32_t lid = 0;
  std::int32_t reentry = 0;
  std::uint8_t aborted = 0;
  std::uint8_t waiting = 0;
  std::uint8_t removed = 0;  // taken off the list by Disable while its owner waited
  CVxi11Semaphore semaphore;
  Node* next = nullptr;
};

CVxi11LockManager::CVxi11LockManager() { mutex_.Init(); }

CVxi11LockManager::~CVxi11LockManager() {
  while (head_ != nullptr) {
    Node* next = head_->next;
    head_->semaphore.Destroy();
    delete head_;
    head_ = next;
  }
  mutex_.Destroy();
}

void CVxi11LockManager::Lock(std::uint32_t lid, std::uint32_t timeout_ms, std::uint32_t* status) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  if (enabled_ == 0) {
    mutex_.Unlock();
    *status = kVxi11StatusLockRefused;
    return;
  }
  if (head_ != nullptr && head_->lid == lid) {
    ++head_->reentry;
    mutex_.Unlock();
    *status = kStatusSuccess;
    return;
  }
  Node* node = new (std::nothrow) Node;
  if (node != nullptr) node->semaphore.Init(0, 1);
  if (node == nullptr || node->semaphore.IsFailed()) {
    delete node;
    mutex_.Unlock();
    *status = kVxi11StatusOutOfMemory;
    return;
  }
  node->lid = lid;
  if (tail_ == nullptr) {
    head_ = tail_ = node;
    mutex_.Unlock();
    *status = kStatusSuccess;
    return;
  }
  tail_->next = node;
  tail_ = node;
  node->waiting = 1;
  mutex_.Unlock();

  std::uint32_t wait_status = 0;
  const bool woken = node->semaphore.Wait(timeout_ms, &wait_status);

  mutex_.Lock(&ignored);
  node->waiting = 0;
  if (node->removed != 0) {
    // Disable took it off the list and left it to us.
    mutex_.Unlock();
    node->semaphore.Destroy();
    delete node;
    *status = kVxi11StatusAborted;
    return;
  }
  if (head_ == node) {
    // Owner now, even when the wait itself had just timed out.
    mutex_.Unlock();
    *status = kStatusSuccess;
    return;
  }
  // Unlink and report why the wait ended.
  Node* previous = nullptr;
  for (Node* n = head_; n != nullptr; previous = n, n = n->next) {
    if (n != node) continue;
    if (previous == nullptr) {
      head_ = n->next;
    } else {
      previous->next = n->next;
    }
    if (tail_ == n) tail_ = previous;
    break;
  }
  const bool aborted = node->aborted != 0;
  mutex_.Unlock();
  node->semaphore.Destroy();
  delete node;
  if (!woken) {
    *status = kVxi11StatusTimedOut;
  } else {
    *status = aborted ? kVxi11StatusAborted : kVxi11StatusWaitFailed;
  }
}

bool CVxi11LockManager::Check(std::uint32_t lid, std::uint32_t timeout_ms, std::uint32_t* status) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  if (enabled_ == 0) {
    mutex_.Unlock();
    *status = kVxi11StatusLockRefused;
    return false;
  }
  if (head_ == nullptr || head_->lid == lid) {
    mutex_.Unlock();
    *status = kStatusSuccess;
    return false;
  }
  mutex_.Unlock();
  // Locked by another link: wait for it like a lock request, then give the lock back at once.
  Lock(lid, timeout_ms, status);
  return *status == kStatusSuccess;
}

void CVxi11LockManager::Unlock(std::uint32_t) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  if (enabled_ != 0 && head_ != nullptr) {
    if (head_->reentry > 0) {
      --head_->reentry;
    } else {
      Node* old = head_;
      head_ = old->next;
      if (head_ == nullptr) tail_ = nullptr;
      old->semaphore.Destroy();
      delete old;
      if (head_ != nullptr && head_->waiting != 0) {
        head_->waiting = 0;
        head_->semaphore.Post();
      }
    }
  }
  mutex_.Unlock();
}

void CVxi11LockManager::AbortWait(std::uint32_t lid) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  if (enabled_ != 0) {
    for (Node* n = head_; n != nullptr; n = n->next) {
      if (n->lid == lid && n->waiting != 0) {
        n->aborted = 1;
        n->waiting = 0;
        n->semaphore.Post();
        break;
      }
    }
  }
  mutex_.Unlock();
}

void CVxi11LockManager::Enable() {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  enabled_ = 1;
  mutex_.Unlock();
}

void CVxi11LockManager::Disable() {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  enabled_ = 0;
  Node* n = head_;
  head_ = tail_ = nullptr;
  while (n != nullptr) {
    Node* next = n->next;
    n->next = nullptr;
    if (n->waiting != 0) {
      n->waiting = 0;
      n->removed = 1;
      n->semaphore.Post();  // its waiter frees it
    } else {
      n->semaphore.Destroy();
      delete n;
    }
    n = next;
  }
  mutex_.Unlock();
}

std::uint32_t CVxi11LockManager::Owner() {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  const std::uint32_t owner = head_ == nullptr ? 0 : head_->lid;
  mutex_.Unlock();
  return owner;
}

int CVxi11LockManager::Waiters() {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  int waiters = 0;
  for (Node* n = head_; n != nullptr; n = n->next) waiters += n->waiting != 0 ? 1 : 0;
  mutex_.Unlock();
  return waiters;
}

// ===================================================================================================
// CVxi11LinkQueue

struct CVxi11LinkQueue::Entry {
  std::uint32_t lid = 0;
  std::uint8_t aborted = 0;
  std::uint8_t waiting = 0;
  std::uint8_t removed = 0;  // taken off the queue by Disable while its owner waited
  std::uint8_t exchange_wait = 0;   // waits for the message exchange (not for its turn)
  std::uint8_t exchange_claim = 0;  // and takes it (a write)
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
    *status = kVxi11StatusOutOfMemory;
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

void CVxi11LinkQueue::WaitTurn(std::uint32_t lid, std::uint32_t timeout_ms, std::uint32_t* status) {
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
  const bool woken = entry->semaphore.Wait(timeout_ms, &wait_status);

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
    *status = kVxi11StatusTimedOut;
  } else {
    *status = entry->aborted != 0 ? kVxi11StatusAborted : kVxi11StatusWaitFailed;
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
  exchange_owner_ = 0;
  delivered_ = 0;
  response_queued_ = 0;
  pulling_ = 0;
  pulled_count_ = 0;
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

void CVxi11LinkQueue::WaitExchange(std::uint32_t lid, std::uint32_t timeout_ms, bool claim,
                                   std::uint32_t* status, std::uint32_t* pull_from) {
  const std::uint64_t deadline = NowMicroseconds() + static_cast<std::uint64_t>(timeout_ms) * 1000;
  if (pull_from != nullptr) *pull_from = 0;
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  for (;;) {
    Entry* entry = enabled_ == 0 ? nullptr : Find(lid);
    if (entry == nullptr || entry->aborted != 0) {
      *status = kVxi11StatusAborted;
      break;
    }
    const std::uint64_t now = NowMicroseconds();
    if (exchange_owner_ == lid || (!claim && IsPulled(lid))) {
      *status = kStatusSuccess;
      break;
    }
    if (pull_from != nullptr && exchange_owner_ != 0 && delivered_ != 0 && response_queued_ != 0 &&
        pulling_ == 0 && now < deadline && (IsPulled(exchange_owner_) || pulled_count_ < kMaxPulled)) {
      pulling_ = 1;
      if (!IsPulled(exchange_owner_)) pulled_[pulled_count_++] = exchange_owner_;
      *pull_from = exchange_owner_;
      *status = kStatusSuccess;
      break;
    }
    if (exchange_owner_ == 0 || now >= deadline) {
      if (claim) {
        exchange_owner_ = lid;
        delivered_ = 0;
        response_queued_ = 0;
      }
      *status = kStatusSuccess;
      break;
    }
    const auto wait_ms = static_cast<std::uint32_t>((deadline - now + 999) / 1000);
    entry->waiting = 1;
    entry->exchange_wait = 1;
    entry->exchange_claim = claim ? 1 : 0;
    mutex_.Unlock();
    std::uint32_t wait_status = 0;
    const bool woken = entry->semaphore.Wait(wait_ms, &wait_status);
    mutex_.Lock(&ignored);
    if (entry->removed != 0) {
      mutex_.Unlock();
      entry->semaphore.Destroy();
      delete entry;
      *status = kVxi11StatusAborted;
      return;
    }
    if (!woken && entry->waiting == 0) {
      // Posted just after the time-out: take the post back, the semaphore serves the turn next.
      std::uint32_t try_status = 0;
      entry->semaphore.Wait(0, &try_status);
    }
    entry->waiting = 0;
    entry->exchange_wait = 0;
  }
  mutex_.Unlock();
}

void CVxi11LinkQueue::MessageDelivered(std::uint32_t lid) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  if (enabled_ != 0) {
    exchange_owner_ = lid;
    delivered_ = 1;
    response_queued_ = 0;
  }
  mutex_.Unlock();
}

void CVxi11LinkQueue::AbandonExchange(std::uint32_t lid) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  const bool release = exchange_owner_ == lid && delivered_ == 0;
  mutex_.Unlock();
  if (release) ReleaseExchange(lid);
}

void CVxi11LinkQueue::ReleaseExchange(std::uint32_t lid) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  if (exchange_owner_ != 0 && (lid == 0 || exchange_owner_ == lid)) {
    exchange_owner_ = 0;
    delivered_ = 0;
    response_queued_ = 0;
    // Handed to the first write that waits for it, in arrival order: a link that reads its answer and
    // writes again at once does not starve the others.
    // Only that write is woken, and the reads that wait (another write keeps waiting, unwoken).
    for (Entry* e = head_; e != nullptr; e = e->next) {
      if (e->exchange_wait == 0 || e->waiting == 0) continue;
      if (e->exchange_claim != 0) {
        if (exchange_owner_ != 0) continue;
        exchange_owner_ = e->lid;
      }
      e->waiting = 0;
      e->semaphore.Post();
    }
  }
  mutex_.Unlock();
}

void CVxi11LinkQueue::NoteResponseQueued() {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  response_queued_ = 1;
  // A link waiting for the exchange may take the owner's response out of its way once the engine's
  // operation is over.
  wake_deferred_ = 1;
  mutex_.Unlock();
}

void CVxi11LinkQueue::WakeDeferred() {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  if (wake_deferred_ != 0) {
    wake_deferred_ = 0;
    if (exchange_owner_ != 0 && delivered_ != 0 && response_queued_ != 0 && pulling_ == 0) WakeExchangeWaiters();
  }
  mutex_.Unlock();
}

void CVxi11LinkQueue::WakeExchangeWaiters() {
  // Only one link pulls at a time: the first waiting in arrival order is woken, the others sleep on.
  for (Entry* e = head_; e != nullptr; e = e->next) {
    if (e->exchange_wait == 0 || e->waiting == 0) continue;
    e->waiting = 0;
    e->semaphore.Post();
    return;
  }
}

bool CVxi11LinkQueue::IsPulled(std::uint32_t lid) const {
  for (int i = 0; i < pulled_count_; ++i) {
    if (pulled_[i] == lid) return true;
  }
  return false;
}

void CVxi11LinkQueue::FinishPull(std::uint32_t lid, std::uint32_t owner, bool complete, bool claim, bool stored) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  pulling_ = 0;
  if (!stored) {
    for (int i = 0; i < pulled_count_; ++i) {
      if (pulled_[i] != owner) continue;
      pulled_[i] = pulled_[--pulled_count_];
      break;
    }
  }
  if (exchange_owner_ == owner && owner != 0) {
    if (complete && claim) {
      exchange_owner_ = lid;
      delivered_ = 0;
      response_queued_ = 0;
    } else if (complete) {
      mutex_.Unlock();
      ReleaseExchange(owner);
      return;
    } else {
      // The rest of the response stays in the device for the owner's own read.
      response_queued_ = 0;
    }
  }
  mutex_.Unlock();
}

bool CVxi11LinkQueue::CanPull(std::uint32_t owner) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  const bool can = enabled_ != 0 && owner != 0 && exchange_owner_ == owner && delivered_ != 0 && response_queued_ != 0;
  mutex_.Unlock();
  return can;
}

void CVxi11LinkQueue::ForgetPulled(std::uint32_t lid) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  for (int i = 0; i < pulled_count_; ++i) {
    if (pulled_[i] != lid) continue;
    pulled_[i] = pulled_[--pulled_count_];
    break;
  }
  mutex_.Unlock();
}

bool CVxi11LinkQueue::HasPulled(std::uint32_t lid) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  const bool pulled = IsPulled(lid);
  mutex_.Unlock();
  return pulled;
}

void CVxi11LinkQueue::NoteInputPosted() {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  const std::uint32_t owner = exchange_owner_;
  const bool no_response = owner != 0 && delivered_ != 0 && response_queued_ == 0;
  mutex_.Unlock();
  // The device takes its next message and queued no response for the owner's: nothing to wait for.
  if (no_response) ReleaseExchange(owner);
}

std::uint32_t CVxi11LinkQueue::ExchangeOwner() {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  const std::uint32_t owner = exchange_owner_;
  mutex_.Unlock();
  return owner;
}

// ===================================================================================================
// CVxi11IoCompletionWaiter

CVxi11IoCompletionWaiter::CVxi11IoCompletionWaiter() {
  mutex_.Init();
  semaphore_.Init(0, 1);
}

CVxi11IoCompletionWaiter::~CVxi11IoCompletionWaiter() {
  semaphore_.Destroy();
  mutex_.Destroy();
}

void CVxi11IoCompletionWaiter::Wait(std::uint32_t lid, std::int32_t code, CVxi11LinkOperationGuard* guard,
                                    std::uint32_t* status) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  if (enabled_ == 0) {
    mutex_.Unlock();
    *status = kVxi11StatusAborted;
    return;
  }
  waiting_lid_ = lid;
  expected_ = code;
  signalled_ = 0;
  aborted_ = 0;
  mutex_.Unlock();

  // The engine may have to suspend the transport to deliver: give the token up while waiting.
  if (guard->gate_passed_ != 0) {
    guard->gate_->Leave();
    guard->gate_passed_ = 0;
  }
  std::uint32_t wait_status = 0;
  const bool woken = semaphore_.Wait(guard->Recompute(), &wait_status);
  guard->Recompute();

  std::uint32_t pass_status = kStatusSuccess;
  guard->gate_->Pass(lid, guard->Remaining(), &pass_status);
  if (pass_status == kStatusSuccess) guard->gate_passed_ = 1;

  mutex_.Lock(&ignored);
  waiting_lid_ = 0;
  expected_ = 0;
  if (woken) {
    if (pass_status != kStatusSuccess) {
      *status = pass_status;
    } else {
      *status = (enabled_ == 0 || aborted_ != 0) ? kVxi11StatusAborted : kStatusSuccess;
    }
  } else if (signalled_ != 0) {
    // The completion came just after the time-out: take its post back (or withdraw it).
    if (gate_ == nullptr || !gate_->CancelPost(&semaphore_)) {
      std::uint32_t try_status = 0;
      semaphore_.Wait(0, &try_status);
    }
    if (aborted_ != 0 || enabled_ == 0) {
      *status = kVxi11StatusAborted;
    } else {
      *status = pass_status;
    }
  } else {
    *status = kVxi11StatusTimedOut;
  }
  mutex_.Unlock();
}

bool CVxi11IoCompletionWaiter::Complete(std::int32_t code) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  bool woken = false;
  if (enabled_ != 0 && waiting_lid_ != 0 && expected_ == code) {
    signalled_ = 1;
    waiting_lid_ = 0;
    expected_ = 0;
    if (gate_ != nullptr) {
      gate_->PostWhenFree(&semaphore_);
    } else {
      semaphore_.Post();
    }
    woken = true;
  }
  mutex_.Unlock();
  return woken;
}

void CVxi11IoCompletionWaiter::Abort(std::uint32_t lid) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  if (enabled_ != 0 && waiting_lid_ != 0 && waiting_lid_ == lid) {
    aborted_ = 1;
    signalled_ = 1;
    waiting_lid_ = 0;
    expected_ = 0;
    semaphore_.Post();
  } else if (enabled_ != 0 && signalled_ != 0 && aborted_ == 0 && gate_ != nullptr && gate_->CancelPost(&semaphore_)) {
    // Completed but not yet woken (the engine still runs): the abort wakes it now.
    aborted_ = 1;
    semaphore_.Post();
  }
  mutex_.Unlock();
}

void CVxi11IoCompletionWaiter::Enable() {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  enabled_ = 1;
  waiting_lid_ = 0;
  expected_ = 0;
  signalled_ = 0;
  aborted_ = 0;
  if (gate_ != nullptr) gate_->CancelPost(&semaphore_);
  std::uint32_t try_status = 0;
  semaphore_.Wait(0, &try_status);
  mutex_.Unlock();
}

void CVxi11IoCompletionWaiter::Disable() {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  enabled_ = 0;
  if (waiting_lid_ != 0 || (gate_ != nullptr && gate_->CancelPost(&semaphore_))) {
    waiting_lid_ = 0;
    expected_ = 0;
    semaphore_.Post();
  }
  mutex_.Unlock();
}

// ===================================================================================================
// CVxi11EventDispatcherGate
//
// The token is free when the gate is open, no suspension is outstanding (depth 0) and no link operation
// holds it (busy 0). A link operation takes it in Pass; the engine's suspensions count the depth and
// wait, the first one, until no link operation of another thread holds the token.

CVxi11EventDispatcherGate::CVxi11EventDispatcherGate() { failed_ = 0; }

CVxi11EventDispatcherGate::~CVxi11EventDispatcherGate() = default;

void CVxi11EventDispatcherGate::Pass(std::uint32_t lid, std::uint32_t timeout_ms, std::uint32_t* status) {
  std::unique_lock<std::mutex> hold(mutex_);
  if (closed_ != 0) {
    *status = kVxi11StatusAborted;
    return;
  }
  waiting_lid_ = lid;
  abort_pending_ = 0;
  auto free_or_ended = [&] { return closed_ != 0 || abort_pending_ != 0 || (busy_ == 0 && depth_ <= 0); };
  if (timeout_ms == kVxi11WaitForever) {
    changed_.wait(hold, free_or_ended);
  } else if (timeout_ms != 0) {
    changed_.wait_for(hold, std::chrono::milliseconds(timeout_ms), free_or_ended);
  }
  waiting_lid_ = 0;
  if (closed_ != 0) {
    *status = kVxi11StatusAborted;
  } else if (abort_pending_ != 0) {
    abort_pending_ = 0;
    *status = kVxi11StatusAborted;
  } else if (busy_ != 0 || depth_ > 0) {
    *status = kVxi11StatusTimedOut;
  } else {
    busy_ = 1;
    owner_ = std::this_thread::get_id();
    *status = kStatusSuccess;
  }
}

void CVxi11EventDispatcherGate::Leave() {
  std::lock_guard<std::mutex> hold(mutex_);
  busy_ = 0;
  owner_ = std::thread::id();
  changed_.notify_all();
}

void CVxi11EventDispatcherGate::Suspend() {
  std::unique_lock<std::mutex> hold(mutex_);
  const bool own_operation = busy_ != 0 && owner_ == std::this_thread::get_id();
  if (!own_operation) {
    // Another thread's link operation runs an entry point: wait until it gives the token up.
    changed_.wait(hold, [&] { return closed_ != 0 || busy_ == 0; });
  }
  ++depth_;
}

void CVxi11EventDispatcherGate::Resume() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (depth_ == 0) {
    ++violations_;  // a resume without a suspension changes nothing
  } else {
    --depth_;
    if (depth_ == 0) {
      changed_.notify_all();
      PostPendingLocked();
    }
  }
}

void CVxi11EventDispatcherGate::PostPendingLocked() {
  // Posted with the gate's mutex held, so that CancelPost never misses a post on its way.
  for (int i = 0; i < pending_count_; ++i) pending_[i]->Post();
  pending_count_ = 0;
}

void CVxi11EventDispatcherGate::PostWhenFree(CVxi11Semaphore* semaphore) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (depth_ <= 0 || closed_ != 0) {
    semaphore->Post();
    return;
  }
  for (int i = 0; i < pending_count_; ++i) {
    if (pending_[i] == semaphore) return;
  }
  if (pending_count_ < kMaxPending) {
    pending_[pending_count_++] = semaphore;
  } else {
    semaphore->Post();
  }
}

bool CVxi11EventDispatcherGate::CancelPost(CVxi11Semaphore* semaphore) {
  std::lock_guard<std::mutex> hold(mutex_);
  for (int i = 0; i < pending_count_; ++i) {
    if (pending_[i] != semaphore) continue;
    pending_[i] = pending_[--pending_count_];
    return true;
  }
  return false;
}

void CVxi11EventDispatcherGate::Close() {
  std::lock_guard<std::mutex> hold(mutex_);
  closed_ = 1;
  waiting_lid_ = 0;
  changed_.notify_all();
  PostPendingLocked();
}

void CVxi11EventDispatcherGate::Reset() {
  std::lock_guard<std::mutex> hold(mutex_);
  waiting_lid_ = 0;
  abort_pending_ = 0;
  depth_ = 1;
  busy_ = 0;
  owner_ = std::thread::id();
  closed_ = 0;
  changed_.notify_all();
}

void CVxi11EventDispatcherGate::AbortWait(std::uint32_t lid) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (closed_ == 0 && waiting_lid_ != 0 && waiting_lid_ == lid) {
    abort_pending_ = 1;
    waiting_lid_ = 0;
    changed_.notify_all();
  }
}

std::int32_t CVxi11EventDispatcherGate::Depth() {
  std::lock_guard<std::mutex> hold(mutex_);
  return depth_;
}

bool CVxi11EventDispatcherGate::IsBusy() {
  std::lock_guard<std::mutex> hold(mutex_);
  return busy_ != 0;
}

bool CVxi11EventDispatcherGate::IsClosed() {
  std::lock_guard<std::mutex> hold(mutex_);
  return closed_ != 0;
}

std::int32_t CVxi11EventDispatcherGate::Violations() {
  std::lock_guard<std::mutex> hold(mutex_);
  return violations_;
}

// ===================================================================================================
// CVxi11LinkOperationGuard

std::uint32_t CVxi11LinkOperationGuard::Recompute() {
  if (remaining_ms_ == 0 || remaining_ms_ == kVxi11WaitForever) return remaining_ms_;
  const std::uint64_t now = NowMicroseconds();
  const std::uint64_t elapsed_ms = (now - last_us_) / 1000;
  // Keep the fraction of a millisecond not yet counted.
  last_us_ += elapsed_ms * 1000;
  remaining_ms_ = elapsed_ms >= remaining_ms_ ? 0 : remaining_ms_ - static_cast<std::uint32_t>(elapsed_ms);
  return remaining_ms_;
}

void CVxi11LinkOperationGuard::Begin(CVxi11PhysicalInterface* physical_interface, std::uint32_t lid,
                                     bool waitlock, std::uint32_t lock_timeout, std::uint32_t io_timeout,
                                     std::uint32_t* status, int uses_exchange) {
  lid_ = lid;
  queue_ = physical_interface->Queue();
  gate_ = physical_interface->Gate();
  remaining_ms_ = 0;
  last_us_ = NowMicroseconds();
  queued_ = 0;
  gate_passed_ = 0;

  queue_->Enqueue(lid, status);
  if (*status != kStatusSuccess) return;
  queued_ = 1;

  // The lock check: waits while another link holds the device lock (device_lock); it borrows the lock
  // only then, and gives it back once the operation stands in its place in the queue.
  CVxi11LockManager* locks = physical_interface->Locks();
  const bool borrowed = locks->Check(lid, waitlock ? lock_timeout : 0, status);
  if (*status != kStatusSuccess) return;
  if (uses_exchange != kExchangeNone) {
    // The entry stays unpromoted while it waits for the exchange: the exchange owner's own
    // operations pass it.
    if (borrowed) locks->Unlock(lid);
    std::uint32_t wait_ms = io_timeout == kVxi11WaitForever ? kVxi11ExchangeWaitMs : io_timeout / 2;
    if (wait_ms > kVxi11ExchangeWaitMs) wait_ms = kVxi11ExchangeWaitMs;
    const bool claim = uses_exchange == kExchangeClaim;
    const std::uint64_t deadline = last_us_ + static_cast<std::uint64_t>(wait_ms) * 1000;
    for (;;) {
      const std::uint64_t now = NowMicroseconds();
      const auto left_ms = static_cast<std::uint32_t>(now >= deadline ? 0 : (deadline - now + 999) / 1000);
      std::uint32_t pull_from = 0;
      queue_->WaitExchange(lid, left_ms, claim, status, &pull_from);
      if (*status != kStatusSuccess) return;
      if (pull_from == 0) break;
      PullFor(physical_interface, pull_from, io_timeout, claim, status);
      if (*status != kStatusSuccess) return;
    }
    queue_->Promote(lid);
  } else {
    queue_->Promote(lid);
    if (borrowed) locks->Unlock(lid);
  }

  remaining_ms_ = io_timeout;
  last_us_ = NowMicroseconds();
  queue_->WaitTurn(lid, io_timeout, status);
  if (*status != kStatusSuccess) return;

  if (!physical_interface->IsEnabled()) {
    *status = kVxi11StatusNotEnabled;
    return;
  }
  gate_->Pass(lid, Recompute(), status);
  if (*status == kStatusSuccess) gate_passed_ = 1;
}

void CVxi11LinkOperationGuard::PullFor(CVxi11PhysicalInterface* physical_interface, std::uint32_t owner,
                                       std::uint32_t io_timeout, bool claim, std::uint32_t* status) {
  // Runs like an operation of its own (turn and gate), then goes back to the end of the queue so that
  // the owner's and other links' operations are not held behind this link's wait for the exchange.
  queue_->Promote(lid_);
  remaining_ms_ = io_timeout;
  last_us_ = NowMicroseconds();
  queue_->WaitTurn(lid_, io_timeout, status);
  bool complete = false;
  bool stored = false;
  if (*status == kStatusSuccess && !physical_interface->IsEnabled()) *status = kVxi11StatusNotEnabled;
  if (*status == kStatusSuccess) {
    gate_->Pass(lid_, Recompute(), status);
    if (*status == kStatusSuccess) {
      gate_passed_ = 1;
      complete = physical_interface->PullResponse(lid_, owner, this, status, &stored);
      if (gate_passed_ != 0) gate_->Leave();
      gate_passed_ = 0;
    }
  }
  queue_->FinishPull(lid_, owner, complete, claim, stored);
  if (*status == kVxi11StatusTimedOut) *status = kStatusSuccess;  // the own wait goes on, bounded
  if (*status != kStatusSuccess) return;
  queue_->Dequeue(lid_);
  queued_ = 0;
  queue_->Enqueue(lid_, status);
  if (*status == kStatusSuccess) queued_ = 1;
}

void CVxi11LinkOperationGuard::End() {
  if (gate_passed_ != 0) {
    gate_->Leave();
    gate_passed_ = 0;
  }
  if (queued_ != 0) {
    queue_->Dequeue(lid_);
    queued_ = 0;
  }
}
