#include "vxi11/Vxi11LinkSync.h"

#include <chrono>
#include <new>

#include "vxi11/CVxi11MessageExchange.h"
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

bool CVxi11Semaphore::Wait(std::uint32_t timeout_ms, std::uint32_t* status, CVxi11WaitCancel* cancel) {
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
  const auto posted = [&] { return count_ > 0; };
  bool taken = false;
  bool cancelled = false;
  if (cancel == nullptr) {
    if (timeout_ms == kVxi11WaitForever) {
      posted_.wait(hold, posted);
      taken = true;
    } else {
      taken = posted_.wait_for(hold, std::chrono::milliseconds(timeout_ms), posted);
    }
  } else {
    // In slices: between two, the operation may have been cancelled (its client went, an abort).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      auto slice = std::chrono::milliseconds(kVxi11WaitSliceMs);
      if (timeout_ms != kVxi11WaitForever) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
          taken = posted();
          break;
        }
        if (left < slice) slice = std::chrono::duration_cast<std::chrono::milliseconds>(left) + std::chrono::milliseconds(1);
      }
      if (posted_.wait_for(hold, slice, posted)) {
        taken = true;
        break;
      }
      hold.unlock();
      cancelled = cancel->Cancelled();
      hold.lock();
      if (cancelled) {
        taken = posted();  // a post that came meanwhile still counts
        break;
      }
    }
  }
  if (taken) --count_;
  if (status != nullptr) {
    *status = taken ? kStatusSuccess : (cancelled ? kVxi11StatusAborted : kVxi11StatusTimedOut);
  }
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

void CVxi11LockManager::Lock(std::uint32_t lid, std::uint32_t timeout_ms, std::uint32_t* status,
                             CVxi11WaitCancel* cancel) {
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
  const bool woken = node->semaphore.Wait(timeout_ms, &wait_status, cancel);

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
    // Another link still holds the lock: VXI-11's "device locked by another link", not an I/O
    // time-out.
    *status = wait_status == kVxi11StatusAborted ? kVxi11StatusAborted : kVxi11StatusLockRefused;
  } else {
    *status = aborted ? kVxi11StatusAborted : kVxi11StatusWaitFailed;
  }
}

bool CVxi11LockManager::Check(std::uint32_t lid, std::uint32_t timeout_ms, std::uint32_t* status,
                              CVxi11WaitCancel* cancel) {
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
  Lock(lid, timeout_ms, status, cancel);
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
  const bool woken = semaphore_.Wait(guard->Recompute(), &wait_status, guard);
  guard->Recompute();

  std::uint32_t pass_status = kStatusSuccess;
  guard->gate_->Pass(lid, guard->Remaining(), &pass_status, guard);
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
    *status = wait_status;  // timed out, or cancelled
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

void CVxi11EventDispatcherGate::Pass(std::uint32_t lid, std::uint32_t timeout_ms, std::uint32_t* status,
                                     CVxi11WaitCancel* cancel) {
  std::unique_lock<std::mutex> hold(mutex_);
  if (closed_ != 0) {
    *status = kVxi11StatusAborted;
    return;
  }
  waiting_lid_ = lid;
  abort_pending_ = 0;
  auto free_or_ended = [&] { return closed_ != 0 || abort_pending_ != 0 || (busy_ == 0 && depth_ <= 0); };
  bool cancelled = false;
  if (timeout_ms != 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      auto slice = cancel != nullptr ? std::chrono::milliseconds(kVxi11WaitSliceMs) : std::chrono::milliseconds::max();
      if (timeout_ms != kVxi11WaitForever) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) break;
        const auto left_ms = std::chrono::duration_cast<std::chrono::milliseconds>(left) + std::chrono::milliseconds(1);
        if (left_ms < slice) slice = left_ms;
      }
      if (slice == std::chrono::milliseconds::max()) {
        changed_.wait(hold, free_or_ended);
        break;
      }
      if (changed_.wait_for(hold, slice, free_or_ended)) break;
      if (cancel != nullptr) {
        hold.unlock();
        cancelled = cancel->Cancelled();
        hold.lock();
        if (cancelled) break;
      }
    }
  }
  waiting_lid_ = 0;
  if (closed_ != 0) {
    *status = kVxi11StatusAborted;
  } else if (abort_pending_ != 0) {
    abort_pending_ = 0;
    *status = kVxi11StatusAborted;
  } else if (busy_ != 0 || depth_ > 0) {
    *status = cancelled ? kVxi11StatusAborted : kVxi11StatusTimedOut;
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

void CVxi11LinkOperationGuard::Register(CVxi11PhysicalInterface* physical_interface, std::uint32_t lid) {
  interface_ = physical_interface;
  exchange_ = physical_interface->Exchange();
  lid_ = lid;
  queue_ = physical_interface->Queue();
  gate_ = physical_interface->Gate();
  remaining_ms_ = 0;
  last_us_ = NowMicroseconds();
  queued_ = 0;
  gate_passed_ = 0;
  if (lid != 0) exchange_->BeginOperation(lid);
  registered_ = 1;
}

void CVxi11LinkOperationGuard::StartClock(std::uint32_t io_timeout) {
  remaining_ms_ = io_timeout;
  last_us_ = NowMicroseconds();
}

void CVxi11LinkOperationGuard::Begin(CVxi11PhysicalInterface* physical_interface, std::uint32_t lid,
                                     bool waitlock, std::uint32_t lock_timeout, std::uint32_t io_timeout,
                                     std::uint32_t* status) {
  Register(physical_interface, lid);
  queue_->Enqueue(lid, status);
  if (*status != kStatusSuccess) return;
  queued_ = 1;

  // The lock check: waits while another link holds the device lock (device_lock); it borrows the lock
  // only then, and gives it back once the operation stands in its place in the queue.
  CVxi11LockManager* locks = physical_interface->Locks();
  const bool borrowed = locks->Check(lid, waitlock ? lock_timeout : 0, status, this);
  if (*status != kStatusSuccess) return;
  queue_->Promote(lid);
  if (borrowed) locks->Unlock(lid);
  StartClock(io_timeout);
}

void CVxi11LinkOperationGuard::TakeTurn(std::uint32_t* status) {
  if (gate_passed_ != 0) {
    *status = kStatusSuccess;
    return;
  }
  if (queued_ == 0) {
    queue_->Enqueue(lid_, status);
    if (*status != kStatusSuccess) return;
    queued_ = 1;
    queue_->Promote(lid_);
  }
  queue_->WaitTurn(lid_, Recompute(), status, this);
  if (*status != kStatusSuccess) return;
  if (!interface_->IsEnabled()) {
    *status = kVxi11StatusNotEnabled;
    return;
  }
  gate_->Pass(lid_, Recompute(), status, this);
  if (*status == kStatusSuccess) gate_passed_ = 1;
}

void CVxi11LinkOperationGuard::LeaveTurn() {
  if (gate_passed_ != 0) {
    gate_->Leave();
    gate_passed_ = 0;
  }
  if (queued_ != 0) {
    queue_->Dequeue(lid_);
    queued_ = 0;
  }
}

bool CVxi11LinkOperationGuard::Cancelled() { return registered_ != 0 && exchange_->Cancelled(lid_); }

void CVxi11LinkOperationGuard::End() {
  LeaveTurn();
  if (registered_ != 0) {
    if (lid_ != 0) exchange_->EndOperation(lid_);
    registered_ = 0;
  }
}
