#include "vxi11/CVxi11LockManager.h"

#include <new>

#include "engine/EngineContract.h"
#include "vxi11/CVxi11Semaphore.h"
#include "vxi11/Vxi11Status.h"

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
    *status = kStatusOutOfMemory;
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
    *status = aborted ? kVxi11StatusAborted : kStatusNotReported;
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

void CVxi11LockManager::Unlock(std::uint32_t lid) {
  std::uint32_t ignored = 0;
  mutex_.Lock(&ignored);
  if (enabled_ != 0 && head_ != nullptr) {
    if (head_->lid != lid) {
      EngineContractViolation("CVxi11LockManager::Unlock", "an unlock by a link that does not own the device lock");
    }
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
