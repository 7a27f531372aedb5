// CVxi11PhysicalInterface: the VXI-11 transport's physical interface, one per device name (inst0).
//
// Engine side: the operations the engine calls store what it hands over (a window to fill or to
// empty, the status byte, trigger and remote/local enables) and post a completion code to the link
// operation waiting for it. Link side: the operations of the VXI-11 procedures, called by the link
// table on the client's connection thread with the link's own mutex held; each I/O operation runs
// inside a CVxi11LinkOperationGuard, calls the engine's entry points while it holds its turn and the
// event gate and waits for the completions. The device's message exchange is shared by the links
// through CVxi11MessageExchange: a response goes only to the link whose message produced it, and an
// operation that waits for the device to answer (or for another link's exchange) holds neither turn
// nor gate meanwhile.
//
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

#include <cstdint>
#include <vector>

#include "engine/CPhysicalInterface.h"
#include "vxi11/CVxi11MessageExchange.h"
#include "vxi11/Vxi11LinkOperations.h"
#include "vxi11/CVxi11EventDispatcherGate.h"
#include "vxi11/CVxi11IoCompletionWaiter.h"
#include "vxi11/CVxi11LinkOperationGuard.h"
#include "vxi11/CVxi11LinkQueue.h"
#include "vxi11/CVxi11LockManager.h"

class CDataBuffer;
class CVxi11Connection;

// device_read reasons (the core channel adds REQCNT itself).
constexpr std::uint32_t kVxi11ReasonRequestCount = 1;
constexpr std::uint32_t kVxi11ReasonTermChar = 2;
constexpr std::uint32_t kVxi11ReasonEnd = 4;

// The most a device_write hands the engine in one chunk.
constexpr std::uint32_t kVxi11MaxChunk = 4096;

class CVxi11PhysicalInterface : public CPhysicalInterface {
 public:
  CVxi11PhysicalInterface(std::uint32_t device_index, std::uint32_t plugin_id, std::uint32_t* status);
  ~CVxi11PhysicalInterface() override;

  // ---- engine side (CPhysicalInterface) ----
  bool IsEnabled() override;
  void Enable(const void* settings, std::uint32_t* status) override;
  void Disable(std::uint32_t* status) override;
  void ResumeEvents(std::uint32_t* status) override;
  void SuspendEvents(std::uint32_t* status) override;
  void EnableTrigger(std::uint32_t* status) override;
  void DisableTrigger(std::uint32_t* status) override;
  void EnableRemoteLocal(std::uint32_t* status) override;
  void DisableRemoteLocal(std::uint32_t* status) override;
  void InputBufferReady(std::uint32_t* status) override;
  void DeviceClearDone(std::uint32_t* status) override;
  void ReturnToLocal(std::uint32_t* status) override;
  // Told when the device's input buffer is posted and when a response is queued (the message
  // exchange of the links follows them); the transport keeps no buffers of its own.
  void AttachInputBuffer(CDataBuffer* buffer, std::uint32_t* status) override;
  void AttachOutputBuffer(CDataBuffer* buffer, std::uint32_t* status) override;
  void Receive(CDataBuffer* buffer, std::uint32_t* status) override;
  void CancelReceive(std::uint32_t* count, bool* end, std::uint32_t* status) override;
  void Send(CDataBuffer* buffer, bool term_char_found, bool end, std::uint32_t* status) override;
  void CancelSend(std::uint32_t* count, std::uint32_t* status) override;
  bool IsReceiveActive() override;
  bool IsSendActive() override;
  void ClampTransfer(CDataBuffer* buffer) override;
  bool IsTermCharEnabled() override;
  std::uint8_t GetTermChar() override;
  bool IsConstructed() override;
  void AssertServiceRequest(std::uint32_t* status) override;
  void WithdrawServiceRequest(std::uint32_t* status) override;
  void ReportStatusByte(std::uint8_t byte, std::uint32_t* status) override;

  // ---- link side (connection threads, the link's mutex held) ----
  // Returns the bytes accepted; a time-out or abort in the middle returns what was delivered.
  std::uint32_t LinkWrite(const Vxi11LinkCall& call, bool end, std::uint32_t length, const std::uint8_t* data,
                          std::uint32_t* status);
  // Returns the bytes collected into destination (room for count); *reason gets kVxi11ReasonEnd and
  // kVxi11ReasonTermChar bits.
  std::uint32_t LinkRead(const Vxi11LinkCall& call, bool termchar_set, std::uint8_t termchar, std::uint32_t count,
                         std::uint8_t* destination, std::uint32_t* reason, std::uint32_t* status);
  // Sends the device_readstb reply through the connection itself and reports 0; a non-zero status
  // means nothing was sent (the caller answers).
  void LinkReadStatusByte(CVxi11Connection* connection, std::uint32_t xid, const Vxi11LinkCall& call,
                          std::uint32_t* status);
  void LinkTrigger(const Vxi11LinkCall& call, std::uint32_t* status);
  // Clears the device once the exchange is free or lid's (another link's query in progress is not
  // cleared away; its response is set aside first), and drops lid's own kept response.
  void LinkClear(const Vxi11LinkCall& call, std::uint32_t* status);
  void LinkRemote(const Vxi11LinkCall& call, std::uint32_t* status);
  void LinkLocal(const Vxi11LinkCall& call, std::uint32_t* status);
  void LinkLock(std::uint32_t lid, bool waitlock, std::uint32_t lock_timeout, std::uint32_t* status);
  void LinkUnlock(std::uint32_t lid, std::uint32_t* status);
  // From the abort channel's thread: ends lid's operation (its waits end with kVxi11StatusAborted).
  void LinkAbort(std::uint32_t lid, std::uint32_t* status);
  // The link table's links: made (with the connection whose end ends the link's operations), going
  // (its operation in progress ends at once), gone (after its operation ended: it owns nothing any
  // more; an incomplete message of it in the device is cleared away).
  void LinkOpened(std::uint32_t lid, CVxi11Connection* connection);
  void LinkGoing(std::uint32_t lid);
  void LinkClosed(std::uint32_t lid);

  // ---- for the link table and the tests ----
  CVxi11LinkQueue* Queue() const { return queue_; }
  CVxi11EventDispatcherGate* Gate() const { return gate_; }
  CVxi11IoCompletionWaiter* Waiter() const { return waiter_; }
  CVxi11LockManager* Locks() const { return locks_; }
  CVxi11MessageExchange* Exchange() const { return exchange_; }
  // Set and cleared by the name registration (under the interface manager's mutex).
  void SetEnabledFlag(bool enabled);

 private:
  // Waits for the engine's completion `code`; keeps the guard's turn.
  void WaitCompletion(std::uint32_t lid, std::int32_t code, CVxi11LinkOperationGuard* guard, std::uint32_t* status);
  void SimpleOperation(int which, const Vxi11LinkCall& call, std::uint32_t* status);
  // Until the exchange is lid's (a write) or free of other links' work (a clear): sets other links'
  // queued responses aside on the way. Returns with the turn held.
  void WaitForExchange(std::uint32_t lid, bool need_input, CVxi11LinkOperationGuard* guard, std::uint32_t* status);
  // With the turn held: takes owner's queued response out of the device (to its END) into owner's
  // mailbox.
  void SetAside(std::uint32_t owner, CVxi11LinkOperationGuard* guard, std::uint32_t* status);
  // With the turn held: reads from the device's output into destination (up to count, the termination
  // character, END). *reason gets END and CHR.
  std::uint32_t ReadFromDevice(std::uint32_t lid, CVxi11LinkOperationGuard* guard, bool termchar_set,
                               std::uint8_t termchar, std::uint32_t count, std::uint8_t* destination,
                               std::uint32_t* reason, std::uint32_t* status);
  // With the turn held: hands a window left over by an operation that gave up back to the engine.
  void ParkWindow();
  // With the turn held: the device clear and the wait for its end.
  void ClearDevice(std::uint32_t lid, CVxi11LinkOperationGuard* guard, std::uint32_t* status);

  CVxi11LockManager* locks_ = nullptr;
  CVxi11LinkQueue* queue_ = nullptr;
  CVxi11IoCompletionWaiter* waiter_ = nullptr;
  CVxi11EventDispatcherGate* gate_ = nullptr;
  CVxi11MessageExchange* exchange_ = nullptr;

  // Written by the engine before it posts the completion the link operation waits for; read by the
  // one running link operation. Atomic because the engine and the link run on different threads.
  struct Shared;
  Shared* shared_ = nullptr;
  std::uint8_t constructed_ = 0;
};
