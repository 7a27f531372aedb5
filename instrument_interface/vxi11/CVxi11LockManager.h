#pragma once

#include <cstdint>

#include "vxi11/CVxi11Mutex.h"
#include "vxi11/CVxi11WaitCancel.h"

// The device lock of device_lock / device_unlock and the lock check (with lock_timeout) that every I/O
// operation makes before it runs. The head of its list owns the lock.
class CVxi11LockManager {
 public:
  CVxi11LockManager();
  ~CVxi11LockManager();
  CVxi11LockManager(const CVxi11LockManager&) = delete;
  CVxi11LockManager& operator=(const CVxi11LockManager&) = delete;

  bool IsFailed() const { return mutex_.IsFailed(); }
  // Takes the device lock for lid (an owner counts up), waiting up to timeout_ms while another link
  // owns it. kVxi11StatusLockRefused disabled, or another link still owns the lock when the time is up (VXI-11's
  // "device locked by another link"); kVxi11StatusAborted aborted, cancelled or disabled; kStatusOutOfMemory no memory.
  void Lock(std::uint32_t lid, std::uint32_t timeout_ms, std::uint32_t* status, CVxi11WaitCancel* cancel = nullptr);
  // The lock check of an I/O operation: passes at once when the device is not locked or lid owns the
  // lock; otherwise waits up to timeout_ms for the owner to unlock, and then borrows the lock (returns
  // true: the caller gives it back with Unlock). Two links' checks never collide with each other.
  bool Check(std::uint32_t lid, std::uint32_t timeout_ms, std::uint32_t* status, CVxi11WaitCancel* cancel = nullptr);
  // Releases one hold of the owner lid; the next waiter owns it. An unlock by a link that does not own
  // the lock (while the manager is enabled and the device locked) stops the process (EngineContract.h).
  void Unlock(std::uint32_t lid);
  // Ends lid's lock wait with kVxi11StatusAborted.
  void AbortWait(std::uint32_t lid);
  void Enable();
  // Forgets the owner and ends every wait with kVxi11StatusAborted.
  void Disable();
  // The owning link, 0 when the device is not locked; the links waiting for it.
  std::uint32_t Owner();
  int Waiters();

 private:
  struct Node;
  CVxi11Mutex mutex_;
  Node* head_ = nullptr;
  Node* tail_ = nullptr;
  std::uint8_t enabled_ = 0;
};
