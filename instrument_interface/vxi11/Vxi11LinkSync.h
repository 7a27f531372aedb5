// Link synchronisation of one VXI-11 device: the device lock, the order in which the links' operations
// run, the wait for the engine's completions and the event gate shared with the engine.
//
// Four objects per physical interface, all created disabled (the gate closed) and switched by the
// interface's Enable and Disable:
//  - CVxi11LockManager: the device lock of device_lock / device_unlock and the lock check (with
//    lock_timeout) that every I/O operation makes before it runs. The head of its list owns the lock.
//  - CVxi11LinkQueue: link operations of the interface in arrival order; only the head runs. An
//    operation whose lock check has passed is promoted past operations still in their lock check. An
//    operation holds its place only while it works with the engine (CVxi11LinkOperationGuard).
//  - CVxi11IoCompletionWaiter: where the running operation waits, bounded by its remaining I/O time,
//    for one completion code the engine posts.
//  - CVxi11EventDispatcherGate: the one token shared by the running link operation (while it calls the
//    engine's entry points) and the engine's suspensions of the transport. Suspensions nest: the gate
//    keeps a depth, and the token returns to the links only when the depth is back to 0.
// Which link the device's message exchange belongs to is CVxi11MessageExchange's (one more object of
// the interface).
//
// Every wait takes a time-out in ms: 0 only tries, kVxi11WaitForever waits without limit. A wait of a
// link operation also ends when the operation is cancelled (CVxi11WaitCancel: device_abort, the link or
// its client's connection gone), looked at in slices of kVxi11WaitSliceMs. No object waits while
// holding another object's mutex; CVxi11LinkQueue::Abort alone takes the other three objects' mutexes
// inside its own.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "engine/DoVovuriStatus.h"

// Internal codes of the link side (their VXI-11 errors are chosen by the core channel).
constexpr std::uint32_t kVxi11StatusNotEnabled = 0x54303;    // interface not enabled      (error 3)
constexpr std::uint32_t kVxi11StatusNoSuchDevice = 0x54310;  // name unknown or disabled   (error 21)
constexpr std::uint32_t kVxi11StatusNameInvalid = 0x54312;   // alias taken or equal to the own name
constexpr std::uint32_t kVxi11StatusLockRefused = 0x54315;   // already locked / lock manager off (error 11)
constexpr std::uint32_t kVxi11StatusNotLocked = 0x54316;     // unlock without the lock    (error 12)
constexpr std::uint32_t kVxi11StatusTimedOut = 0x54324;      // a wait ran out of time     (error 15)
constexpr std::uint32_t kVxi11StatusBadParameter = 0x5434F;  // e.g. an SRQ handle above 40 bytes (error 5)
constexpr std::uint32_t kVxi11StatusResponseLost = 0x5432F;  // the link's response was discarded (error 17)
constexpr std::uint32_t kVxi11StatusNoSuchLink = 0x54390;    // unknown link, or another connection's (error 4)
constexpr std::uint32_t kVxi11StatusNotSupported = 0x54395;  // trigger / remote / local not enabled (error 8)
constexpr std::uint32_t kVxi11StatusAborted = 0x54396;       // device_abort, or the interface went (error 23)
constexpr std::uint32_t kVxi11StatusOutOfMemory = 0x543F0;   // (error 9)
constexpr std::uint32_t kVxi11StatusWaitFailed = 0x543FF;

constexpr std::uint32_t kVxi11WaitForever = 0xFFFFFFFFu;
// How often a waiting link operation looks whether it was cancelled meanwhile.
constexpr std::uint32_t kVxi11WaitSliceMs = 50;

// What ends a link operation's waits early besides the objects' own wake-ups: a device_abort of the
// operation, the link going, the client's connection closing. Asked between the slices of a wait.
class CVxi11WaitCancel {
 public:
  virtual bool Cancelled() = 0;

 protected:
  ~CVxi11WaitCancel() = default;
};

// Completion codes the engine side posts to the waiting link operation.
constexpr std::int32_t kVxi11CompletionClearDone = 1;
constexpr std::int32_t kVxi11CompletionReceiveWindow = 2;
constexpr std::int32_t kVxi11CompletionSendWindow = 3;
constexpr std::int32_t kVxi11CompletionStatusByte = 4;

// The mutex and counting semaphore of the link side. Every query of every connection passes through
// them several times, so they stand on the host's own primitives (no shared kernel lock in between),
// and a timed wait ends on a monotonic clock to the millisecond. Time-outs in ms: 0 only tries,
// kVxi11WaitForever waits without limit.
class CVxi11Mutex {
 public:
  void Init() {}
  void Destroy() {}
  bool IsFailed() const { return false; }
  bool Lock(std::uint32_t* status) {
    mutex_.lock();
    *status = kStatusSuccess;
    return true;
  }
  void Unlock() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

class CVxi11Semaphore {
 public:
  void Init(std::int32_t initial_count, std::int32_t maximum);
  void Destroy() {}
  bool IsFailed() const { return false; }
  // False with 0x54324 when the time ran out, with 0x54396 when `cancel` said so first.
  bool Wait(std::uint32_t timeout_ms, std::uint32_t* status, CVxi11WaitCancel* cancel = nullptr);
  // The count never passes the maximum.
  void Post();

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::int32_t count_ = 0;
  std::int32_t maximum_ = 1;
};

class CVxi11LockManager {
 public:
  CVxi11LockManager();
  ~CVxi11LockManager();
  CVxi11LockManager(const CVxi11LockManager&) = delete;
  CVxi11LockManager& operator=(const CVxi11LockManager&) = delete;

  bool IsFailed() const { return mutex_.IsFailed(); }
  // Takes the device lock for lid (an owner counts up), waiting up to timeout_ms while another link
  // owns it. 0x54315 disabled, or another link still owns the lock when the time is up (VXI-11's
  // "device locked by another link"); 0x54396 aborted, cancelled or disabled; 0x543F0 no memory.
  void Lock(std::uint32_t lid, std::uint32_t timeout_ms, std::uint32_t* status, CVxi11WaitCancel* cancel = nullptr);
  // The lock check of an I/O operation: passes at once when the device is not locked or lid owns the
  // lock; otherwise waits up to timeout_ms for the owner to unlock, and then borrows the lock (returns
  // true: the caller gives it back with Unlock). Two links' checks never collide with each other.
  bool Check(std::uint32_t lid, std::uint32_t timeout_ms, std::uint32_t* status, CVxi11WaitCancel* cancel = nullptr);
  // Releases one hold of the owner (callers only unlock what they hold); the next waiter owns it.
  void Unlock(std::uint32_t lid);
  // Ends lid's lock wait with 0x54396.
  void AbortWait(std::uint32_t lid);
  void Enable();
  // Forgets the owner and ends every wait with 0x54396.
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

class CVxi11EventDispatcherGate;
class CVxi11IoCompletionWaiter;

class CVxi11LinkQueue {
 public:
  CVxi11LinkQueue(CVxi11EventDispatcherGate* gate, CVxi11IoCompletionWaiter* waiter, CVxi11LockManager* locks);
  ~CVxi11LinkQueue();
  CVxi11LinkQueue(const CVxi11LinkQueue&) = delete;
  CVxi11LinkQueue& operator=(const CVxi11LinkQueue&) = delete;

  bool IsFailed() const { return mutex_.IsFailed(); }
  // 0x54396 disabled, 0x543F0 no memory.
  void Enqueue(std::uint32_t lid, std::uint32_t* status);
  // Waits until lid's entry is the head. 0x54324 timed out, 0x54396 aborted, cancelled or disabled. A
  // failed entry stays queued until Dequeue.
  void WaitTurn(std::uint32_t lid, std::uint32_t timeout_ms, std::uint32_t* status,
                CVxi11WaitCancel* cancel = nullptr);
  void Promote(std::uint32_t lid);
  void Dequeue(std::uint32_t lid);
  // True when the running (head) operation was aborted, or the queue is disabled.
  bool IsAborted();
  // device_abort of one link: ends its wait in the lock check, its turn, the gate or a completion.
  void Abort(std::uint32_t lid);
  void Enable();
  void Disable();
  // Link ids in queue order (for tests and diagnostics); returns how many were written.
  int Snapshot(std::uint32_t* lids, int capacity);


 private:
  struct Entry;
  Entry* Find(std::uint32_t lid);
  void Unlink(Entry* entry);

  CVxi11Mutex mutex_;
  Entry* head_ = nullptr;
  Entry* tail_ = nullptr;
  CVxi11EventDispatcherGate* gate_;
  CVxi11IoCompletionWaiter* waiter_;
  CVxi11LockManager* locks_;
  std::uint8_t enabled_ = 0;
};

class CVxi11LinkOperationGuard;

class CVxi11IoCompletionWaiter {
 public:
  CVxi11IoCompletionWaiter();
  ~CVxi11IoCompletionWaiter();
  CVxi11IoCompletionWaiter(const CVxi11IoCompletionWaiter&) = delete;
  CVxi11IoCompletionWaiter& operator=(const CVxi11IoCompletionWaiter&) = delete;

  bool IsFailed() const { return mutex_.IsFailed() || semaphore_.IsFailed(); }
  // Leaves the gate (when the guard passed it), waits for `code` within the guard's remaining I/O time
  // and passes the gate again. 0x54324 timed out, 0x54396 aborted, cancelled or disabled.
  void Wait(std::uint32_t lid, std::int32_t code, CVxi11LinkOperationGuard* guard, std::uint32_t* status);
  // True when an operation waited for `code` and was woken; otherwise the completion is dropped.
  // While the engine has the link side's events suspended, the waiter is woken when the gate lets it
  // through (no wake-up only to wait at the gate).
  bool Complete(std::int32_t code);
  void SetGate(CVxi11EventDispatcherGate* gate) { gate_ = gate; }
  void Abort(std::uint32_t lid);
  void Enable();
  void Disable();

 private:
  CVxi11Mutex mutex_;
  CVxi11Semaphore semaphore_;
  CVxi11EventDispatcherGate* gate_ = nullptr;
  std::uint32_t waiting_lid_ = 0;
  std::int32_t expected_ = 0;
  std::uint8_t enabled_ = 0;
  std::uint8_t signalled_ = 0;
  std::uint8_t aborted_ = 0;
};

class CVxi11EventDispatcherGate {
 public:
  // Created closed and suspended.
  CVxi11EventDispatcherGate();
  virtual ~CVxi11EventDispatcherGate();
  CVxi11EventDispatcherGate(const CVxi11EventDispatcherGate&) = delete;
  CVxi11EventDispatcherGate& operator=(const CVxi11EventDispatcherGate&) = delete;

  bool IsFailed() const { return failed_ != 0; }
  // Link side: takes the token for lid's operation. 0x54396 closed, aborted or cancelled, 0x54324 timed
  // out.
  void Pass(std::uint32_t lid, std::uint32_t timeout_ms, std::uint32_t* status, CVxi11WaitCancel* cancel = nullptr);
  // Link side: gives the token back.
  void Leave();
  // Engine side. Suspend returns once no link operation of another thread holds the token; a link
  // operation that calls the engine itself suspends without waiting. Suspensions nest.
  void Suspend();
  void Resume();
  // Interface side: Close ends a wait at the gate with 0x54396; Reset opens it suspended once (the
  // engine's first resume hands out the token).
  void Close();
  void Reset();
  // device_abort of lid while it waits at the gate.
  void AbortWait(std::uint32_t lid);
  // Posts semaphore now when no suspension is outstanding, else when the last one ends (or the gate
  // closes). CancelPost withdraws a post not yet made and tells whether there was one.
  void PostWhenFree(CVxi11Semaphore* semaphore);
  bool CancelPost(CVxi11Semaphore* semaphore);

  // Figures for tests.
  std::int32_t Depth();
  bool IsBusy();
  bool IsClosed();
  std::int32_t Violations();  // resumes without a suspension

 private:
  void PostPendingLocked();
  std::mutex mutex_;
  std::condition_variable changed_;
  static constexpr int kMaxPending = 4;
  CVxi11Semaphore* pending_[kMaxPending] = {};
  int pending_count_ = 0;
  std::uint8_t failed_ = 1;
  std::uint32_t waiting_lid_ = 0;
  std::thread::id owner_{};
  std::int32_t depth_ = 1;
  std::int32_t violations_ = 0;
  std::uint8_t abort_pending_ = 0;
  std::uint8_t closed_ = 1;
  std::uint8_t busy_ = 0;
};

class CVxi11MessageExchange;
class CVxi11PhysicalInterface;

// Prologue and epilogue of every I/O link operation, in two parts: Begin registers the operation (from
// then on device_abort, the link's end or its connection's end cancels it), queues it and makes the
// lock check; TakeTurn waits for the operation's turn and the gate, which it holds only while it works
// with the engine (LeaveTurn gives both up, so that an operation that waits for the device to answer
// holds nobody else back). End runs after every outcome (the destructor calls it too).
class CVxi11LinkOperationGuard : public CVxi11WaitCancel {
 public:
  CVxi11LinkOperationGuard() = default;
  ~CVxi11LinkOperationGuard() { End(); }
  CVxi11LinkOperationGuard(const CVxi11LinkOperationGuard&) = delete;
  CVxi11LinkOperationGuard& operator=(const CVxi11LinkOperationGuard&) = delete;

  // Registers the operation, queues it and makes the lock check (waitlock: up to lock_timeout while
  // another link holds the device lock); the remaining I/O time starts at io_timeout afterwards.
  void Begin(CVxi11PhysicalInterface* physical_interface, std::uint32_t lid, bool waitlock,
             std::uint32_t lock_timeout, std::uint32_t io_timeout, std::uint32_t* status);
  // Registers the operation only (device_lock: its wait for the lock is cancelled like the others). Lid 0:
  // work of the interface itself, which no device_abort reaches.
  void Register(CVxi11PhysicalInterface* physical_interface, std::uint32_t lid);
  // The remaining I/O time starts now at io_timeout (Begin does it after the lock check).
  void StartClock(std::uint32_t io_timeout);
  // The operation's turn in the queue, then the gate, within the remaining I/O time.
  void TakeTurn(std::uint32_t* status);
  void LeaveTurn();
  void End();

  // device_abort of this operation, the link gone, its connection closed, or the interface disabled.
  bool Cancelled() override;
  // Subtracts the time elapsed since the last reading from the remaining I/O time (a monotonic clock;
  // 0 stays 0) and returns what remains.
  std::uint32_t Recompute();
  std::uint32_t Remaining() const { return remaining_ms_; }
  std::uint32_t Lid() const { return lid_; }
  bool GatePassed() const { return gate_passed_ != 0; }

 private:
  friend class CVxi11IoCompletionWaiter;
  CVxi11PhysicalInterface* interface_ = nullptr;
  CVxi11MessageExchange* exchange_ = nullptr;
  std::uint32_t lid_ = 0;
  CVxi11LinkQueue* queue_ = nullptr;
  CVxi11EventDispatcherGate* gate_ = nullptr;
  std::uint32_t remaining_ms_ = 0;
  std::uint64_t last_us_ = 0;
  std::uint8_t registered_ = 0;
  std::uint8_t queued_ = 0;
  std::uint8_t gate_passed_ = 0;
};
