// CEngineDevice: the engine's record of one enabled device. It joins a physical interface (the
// transport's side) with the message exchange machine, the input and output message buffers, sixteen
// event registers and the event queue that the device's event-loop thread drains.
//
// Two kinds of callers, kept apart by the transport's suspension:
//  - Operations (application threads through CFunctionCallInterface, and the event-loop thread's
//    WaitForEvent and AcknowledgeEvent): each takes the device's mutex and suspends the transport's
//    events for its work, always resuming what it suspended.
//  - Handlers (On...): called by CPhysicalInterface's entry points on the transport's threads, without
//    the mutex, only while the transport is not suspended.
// Flow control: when a post leaves the queue at least half full, the handler holds the transport back
// with one suspension of its own; the event loop releases exactly that one when the queue has drained
// below half. So every suspension the engine makes is released once, and the depth is 0 at rest;
// CEngineSuspension counts them and stops the process on a misuse.
#pragma once

#include <cstdint>

#include "engine/CEngineSuspension.h"
#include "engine/CEventQueue.h"
#include "engine/CMessageBuffer.h"
#include "engine/CMessageExchangeStateMachine.h"
#include "engine/COSMutex.h"

class CPhysicalInterface;

// Event ids (one register each) and the codes posted on them.
enum : std::uint32_t {
  kEventInputComplete = 0,
  kEventResponseComplete = 1,
  kEventResponseRequested = 2,
  kEventTrigger = 3,
  kEventDeviceClear = 4,
  kEventRemoteLocal = 5,
  kEventException = 6,
  kEventStatusByteRequest = 7,
  kEventRegisterCount = 16,
};
enum : std::uint32_t {
  kCodeInputEnd = 0,
  kCodeInputBufferFull = 1,
  kCodeInputTrigger = 2,
  kCodeInputUnterminated = 3,
  kCodeResponseSent = 8,
  kCodeResponseInterrupted = 9,
  kCodeResponseDiscarded = 10,
  kCodeResponseRequested = 16,
  kCodeTrigger = 24,
  kCodeDeviceClear = 32,
  kCodeStatusByteRequest = 36,
  kCodeRemoteLocalBase = 40,  // + state - 1
};

constexpr std::uint32_t kEventQueueCapacity = 10;

class CEngineDevice {
 public:
  explicit CEngineDevice(CPhysicalInterface* physical_interface);
  ~CEngineDevice();

  CEngineDevice(const CEngineDevice&) = delete;
  CEngineDevice& operator=(const CEngineDevice&) = delete;

  bool IsConstructed() const { return constructed_ != 0; }
  std::uint32_t Status() const { return status_; }
  void SetInUse() { in_use_ = 1; }
  CPhysicalInterface* PhysicalInterface() const { return physical_interface_; }

  // ---- operations (application threads and the event loop) ----
  void Enable(const void* settings, std::uint32_t* status);
  void Disable(std::uint32_t* status);
  void EnableEvent(std::uint32_t id, DoVovuriEventFunction function, void* context, std::uint32_t* status);
  void DisableEvent(std::uint32_t id, std::uint32_t* status);
  void WaitForEvent(bool wait_forever, DoVovuriEventEntry* entry, std::uint32_t* status);
  void AbortEventWait(std::uint32_t* status);
  void AcknowledgeEvent(std::uint32_t code, std::uint32_t* status);
  void PostInputBuffer(void* data, std::uint32_t capacity, std::uint32_t* status);
  void CancelInputBuffer(std::uint32_t* status);
  void QueueResponse(const void* data, std::uint32_t count, bool end, std::uint32_t* status);
  void CancelResponse(std::uint32_t* status);
  void QueryDetected(std::uint32_t* status);
  void MessageProcessed(std::uint32_t* status);
  void EndProcessed(std::uint32_t* status);
  void ReportDeadlock(std::uint32_t* status);
  void AcknowledgeUnterminated(std::uint32_t* status);
  void SetStatusByte(std::uint8_t byte, std::uint32_t* status);
  void RequestService(std::uint32_t* status);
  void WithdrawServiceRequest(std::uint32_t* status);
  void ReturnToLocal(std::uint32_t* status);
  void EnableRelaxedMode(std::uint32_t* status);
  void DisableRelaxedMode(std::uint32_t* status);
  // A transport exception raised outside the transport's event delivery (see
  // CPhysicalInterface::NotifyExceptionOutsideEvents): the handler below inside an operation's frame.
  void ExceptionOutsideEvents(std::uint32_t code);

  // ---- handlers (transport threads, through CPhysicalInterface's entry points) ----
  void OnInputComplete(CMessageBuffer* message);
  void OnOutputComplete(CMessageBuffer* message);
  void OnStatusByteNeeded();
  void OnRemoteLocalChange(std::uint32_t state);
  void OnException(std::uint32_t code);
  void OnArmReceiveRequest();
  void OnBeginReceive();
  void OnArmSendRequest();
  void OnTrigger();
  void OnDeviceClear();

  // For tests and diagnostics: the most entries the event queue has held.
  std::uint32_t QueueHighWater() const { return queue_ != nullptr ? queue_->HighWater() : 0; }

 private:
  // What the host asked for last: a read (a response) or a write (a message).
  enum HostDirection : std::int32_t { kHostDirectionNone = 0, kHostDirectionRead = 1, kHostDirectionWrite = 2 };

  // The frame of an operation: lock, check the interface, suspend; and its end: resume, unlock.
  // Begin returns false (with the status set and the mutex released) when the operation must stop.
  bool BeginOperation(std::uint32_t* status);
  void EndOperation(std::uint32_t* status);
  // The frame of the operations that also work on a disabled interface: the transport is suspended
  // only while it is enabled (*suspended says so).
  bool BeginAnyStateOperation(bool* suspended, std::uint32_t* status);
  void EndAnyStateOperation(bool suspended, std::uint32_t* status);
  // Lock and check that an interface is bound; false (mutex released, status set) when not.
  bool LockWithInterface(std::uint32_t* status);
  bool SuspendTransport(std::uint32_t* status);
  void ResumeTransport(std::uint32_t* status);

  // Posting, with the register of the event id; the flow-control step after it.
  void Post(std::uint32_t id, std::uint32_t code, std::uint32_t data, CMessageBuffer* object, std::uint8_t acknowledge);
  void PostInputComplete(CMessageBuffer* message);
  void ApplyFlowControl();
  void ReleaseFlowControl();

  // Shared steps (handlers and operations).
  void ArmReceive(std::uint32_t* status);
  void DeliverTrigger();
  void ReportUnterminated();
  void ReportInterruption();
  void ReportResponseRequest();
  void ServiceTransfers(std::uint32_t* status);
  // Starts sending the queued response when the host's last request was a read and the machine lets it.
  void SendIfAllowed(std::uint32_t* status);
  // A read request or trigger stops a receive in progress; bytes it got count as message data.
  void TakeBackPartialInput();
  bool RespondingAllowed() const;
  bool InSendOrResponse() const;
  // Binds the application's buffer to `message` and hands it to the transport.
  bool BindMessage(CMessageBuffer* message, void* data, std::uint32_t length, bool end, std::uint32_t* status);
  // Abort the transport's transfer of `message` when it is the current one.
  void AbortTransferOf(CMessageBuffer* message, std::uint32_t* status);
  // An active message ends: its transfer aborted, its buffer given back, forgotten. Cancel reports
  // `none` when there is no active message.
  void DropActive(CMessageBuffer** active);
  void CancelActive(CMessageBuffer** active, std::uint32_t none, std::uint32_t* status);
  // Relaxed mode on or off; refused when it already is.
  void SetRelaxedMode(bool on, std::uint32_t* status);
  // Enables or disables what the transport does for an event id (trigger, status byte, remote/local).
  void SetTransportEvent(std::uint32_t id, bool enable, std::uint32_t* status);
  // A refusal: kStatusDeviceClearActive while a device clear is active, else `otherwise`.
  std::uint32_t RefusalStatus(std::uint32_t otherwise) const;
  // After MessageProcessed or EndProcessed: the interruption, the held-back input, the transfers.
  void FinishProcessing(std::uint32_t* status);
  void HandleException(std::uint32_t code);

  struct EventRegister {
    std::uint8_t enabled;
    DoVovuriEventFunction function;
    void* context;
  };

  std::uint8_t constructed_ = 0;
  std::uint32_t in_use_ = 0;
  std::uint32_t status_;
  COSMutex* mutex_ = nullptr;
  CPhysicalInterface* physical_interface_ = nullptr;
  HostDirection last_direction_ = kHostDirectionNone;
  EventRegister registers_[kEventRegisterCount] = {};
  CEventQueue* queue_ = nullptr;
  CMessageBuffer* input_ = nullptr;
  CMessageBuffer* active_input_ = nullptr;
  CMessageBuffer* deferred_input_ = nullptr;
  CMessageBuffer* output_ = nullptr;
  CMessageBuffer* active_output_ = nullptr;
  CMessageExchangeStateMachine machine_;
  // 1 while the flow-control suspension is in effect. Set by a handler, cleared by the event loop's
  // wait or by Disable; the transport's suspension keeps those apart.
  std::uint8_t flow_held_ = 0;
  CEngineSuspension suspension_;
};
