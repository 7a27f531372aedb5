#include "engine/CEngineDevice.h"

#include <new>

#include "engine/CPhysicalInterface.h"
#include "engine/DoVovuriStatus.h"

namespace {

using Mep = CMessageExchangeStateMachine;

constexpr std::uint32_t kHalfFull = kEventQueueCapacity / 2;

}  // namespace

CEngineDevice::CEngineDevice(CPhysicalInterface* physical_interface) : status_(kStatusNotReported) {
  mutex_ = new (std::nothrow) COSMutex;
  if (mutex_ == nullptr) {
    status_ = kStatusOutOfMemory;
    return;
  }
  mutex_->Init();
  if (mutex_->IsFailed()) {
    status_ = kStatusOutOfMemory;
    return;
  }
  queue_ = new (std::nothrow) CEventQueue(kEventQueueCapacity);
  if (queue_ == nullptr) {
    status_ = kStatusOutOfMemory;
    return;
  }
  status_ = queue_->Status();
  if (!queue_->IsOk()) return;
  input_ = new (std::nothrow) CMessageBuffer(CMessageBuffer::kInput);
  output_ = new (std::nothrow) CMessageBuffer(CMessageBuffer::kOutput);
  if (input_ == nullptr || output_ == nullptr || input_->IsFailed() || output_->IsFailed()) {
    status_ = kStatusOutOfMemory;
    return;
  }
  std::uint32_t status = kStatusNotReported;
  physical_interface->AttachEngineDevice(this, &status);
  if (status != kStatusSuccess) {
    status_ = status;
    return;
  }
  physical_interface_ = physical_interface;
  constructed_ = 1;
  status_ = kStatusSuccess;
}

CEngineDevice::~CEngineDevice() {
  const bool locked = mutex_ != nullptr && !mutex_->IsFailed();
  std::uint32_t status = kStatusNotReported;
  if (locked) mutex_->Lock(&status);
  if (physical_interface_ != nullptr) physical_interface_->DetachEngineDevice();
  physical_interface_ = nullptr;
  delete input_;
  delete output_;
  delete queue_;
  input_ = output_ = active_input_ = active_output_ = deferred_input_ = nullptr;
  queue_ = nullptr;
  if (locked) {
    mutex_->Unlock();
    mutex_->Destroy();
  }
  delete mutex_;
}

// ---------------------------------------------------------------------------------------------------
// The frame of an operation

bool CEngineDevice::SuspendTransport(std::uint32_t* status) {
  return suspension_.Suspend(physical_interface_, "CEngineDevice::SuspendTransport", status);
}

void CEngineDevice::ResumeTransport(std::uint32_t* status) {
  std::uint32_t resume_status = kStatusNotReported;
  suspension_.Resume(physical_interface_, "CEngineDevice::ResumeTransport", &resume_status);
  if (*status == kStatusSuccess) *status = resume_status;
}

bool CEngineDevice::LockWithInterface(std::uint32_t* status) {
  std::uint32_t lock_status = kStatusNotReported;
  if (!mutex_->Lock(&lock_status)) {
    *status = kStatusNotReported;
    return false;
  }
  if (physical_interface_ == nullptr) {
    *status = kStatusNoPhysicalInterface;
    mutex_->Unlock();
    return false;
  }
  return true;
}

bool CEngineDevice::BeginOperation(std::uint32_t* status) {
  if (!LockWithInterface(status)) return false;
  if (!physical_interface_->IsEnabled()) {
    *status = kStatusInterfaceNotEnabled;
    mutex_->Unlock();
    return false;
  }
  if (!SuspendTransport(status)) {
    mutex_->Unlock();
    return false;
  }
  return true;
}

void CEngineDevice::EndOperation(std::uint32_t* status) {
  // The operation's suspension is always given back; flow control keeps its own (see ApplyFlowControl).
  ResumeTransport(status);
  mutex_->Unlock();
}

bool CEngineDevice::BeginAnyStateOperation(bool* suspended, std::uint32_t* status) {
  if (!LockWithInterface(status)) return false;
  *suspended = physical_interface_->IsEnabled();
  if (*suspended && !SuspendTransport(status)) {
    mutex_->Unlock();
    return false;
  }
  return true;
}

void CEngineDevice::EndAnyStateOperation(bool suspended, std::uint32_t* status) {
  if (suspended) ResumeTransport(status);
  mutex_->Unlock();
}

// ---------------------------------------------------------------------------------------------------
// Posting and flow control

void CEngineDevice::Post(std::uint32_t id, std::uint32_t code, std::uint32_t data, CMessageBuffer* object,
                         std::uint8_t acknowledge) {
  const EventRegister& reg = registers_[id];
  const DoVovuriEventEntry entry{code, data, reg.function, reg.context, object, acknowledge};
  std::uint32_t status = kStatusNotReported;
  queue_->Post(entry, &status);  // a full queue drops the entry; nobody retries
}

void CEngineDevice::PostInputComplete(CMessageBuffer* message) {
  Post(kEventInputComplete, message->End() ? kCodeInputEnd : kCodeInputBufferFull, message->Count(), message, 0);
}

void CEngineDevice::ApplyFlowControl() {
  if (flow_held_ != 0 || physical_interface_ == nullptr || queue_->Count() < kHalfFull) return;
  std::uint32_t status = kStatusNotReported;
  if (suspension_.Suspend(physical_interface_, "CEngineDevice::ApplyFlowControl", &status)) flow_held_ = 1;
}

void CEngineDevice::ReleaseFlowControl() {
  if (flow_held_ == 0 || physical_interface_ == nullptr) return;
  flow_held_ = 0;
  std::uint32_t status = kStatusNotReported;
  suspension_.Resume(physical_interface_, "CEngineDevice::ReleaseFlowControl", &status);
}

// ---------------------------------------------------------------------------------------------------
// Helpers

bool CEngineDevice::InSendOrResponse() const {
  return machine_.GetState() == Mep::kSend || machine_.GetState() == Mep::kResponse;
}

bool CEngineDevice::RespondingAllowed() const { return machine_.IsRespondingAllowed(); }

std::uint32_t CEngineDevice::RefusalStatus(std::uint32_t otherwise) const {
  return machine_.IsDeviceClearActive() ? kStatusDeviceClearActive : otherwise;
}

void CEngineDevice::AbortTransferOf(CMessageBuffer* message, std::uint32_t* status) {
  *status = kStatusSuccess;
  if (message == nullptr || physical_interface_ == nullptr || !physical_interface_->IsCurrentMessage(message)) return;
  if (message->Kind() == CMessageBuffer::kInput) {
    physical_interface_->AbortReceive(status);
  } else {
    physical_interface_->AbortSend(status);
  }
}

void CEngineDevice::DropActive(CMessageBuffer** active) {
  if (*active == nullptr) return;
  std::uint32_t status = kStatusNotReported;
  AbortTransferOf(*active, &status);
  (*active)->Complete();
  *active = nullptr;
}

void CEngineDevice::CancelActive(CMessageBuffer** active, std::uint32_t none, std::uint32_t* status) {
  if (*active == nullptr) {
    *status = none;
    return;
  }
  AbortTransferOf(*active, status);
  (*active)->Complete();
  *active = nullptr;
}

bool CEngineDevice::BindMessage(CMessageBuffer* message, void* data, std::uint32_t length, bool end,
                                std::uint32_t* status) {
  *status = kStatusNotReported;
  message->Bind(data, length, end, status);
  if (*status != kStatusSuccess) return false;
  *status = kStatusNotReported;
  physical_interface_->AttachMessageBuffer(message, status);
  return *status == kStatusSuccess;
}

void CEngineDevice::SetTransportEvent(std::uint32_t id, bool enable, std::uint32_t* status) {
  *status = kStatusSuccess;
  CPhysicalInterface* pi = physical_interface_;
  if (id != kEventTrigger && id != kEventStatusByteRequest && id != kEventRemoteLocal) return;
  *status = kStatusNotReported;
  if (id == kEventTrigger) {
    enable ? pi->EnableTrigger(status) : pi->DisableTrigger(status);
  } else if (id == kEventStatusByteRequest) {
    enable ? pi->EnableStatusByteRequest(status) : pi->DisableStatusByteRequest(status);
  } else {
    enable ? pi->EnableRemoteLocal(status) : pi->DisableRemoteLocal(status);
  }
}

// ---------------------------------------------------------------------------------------------------
// Shared steps

void CEngineDevice::ArmReceive(std::uint32_t* status) {
  *status = kStatusSuccess;
  if (active_input_ == nullptr || physical_interface_ == nullptr) return;
  // SEND or RESPONSE, or in relaxed mode DONE or IDLE without unterminated.
  const bool responding_state = RespondingAllowed() && machine_.GetState() != Mep::kQuery;
  if ((machine_.IsEndReceived() || machine_.IsTriggerActive()) && !responding_state) return;
  if (machine_.TriggersHeldBack() != 0 || machine_.IsUnterminated() || machine_.IsDeviceClearActive() ||
      last_direction_ != kHostDirectionWrite || physical_interface_->IsCurrentMessage(active_input_)) {
    return;
  }
  if (responding_state) {
    std::uint32_t ready_status = kStatusNotReported;
    physical_interface_->InputBufferReady(&ready_status);
    if (ready_status != kStatusSuccess) {
      *status = ready_status;
      return;
    }
  }
  *status = kStatusNotReported;
  physical_interface_->StartReceive(active_input_, status);
}

void CEngineDevice::DeliverTrigger() {
  if (!machine_.IsTriggerActive() || machine_.IsTriggerReported()) return;
  if (machine_.IsMessageActive()) {
    CMessageBuffer* message = active_input_ != nullptr ? active_input_ : deferred_input_;
    std::uint32_t status = kStatusNotReported;
    AbortTransferOf(message, &status);
    Post(kEventInputComplete, kCodeInputTrigger, message != nullptr ? message->Count() : 0, message, 1);
    if (message == active_input_) {
      active_input_ = nullptr;
    } else {
      deferred_input_ = nullptr;
    }
  } else {
    Post(kEventTrigger, kCodeTrigger, 0, nullptr, 0);
  }
  machine_.OnTriggerReported();
}

void CEngineDevice::ReportUnterminated() {
  if (!machine_.IsUnterminated() || machine_.IsUnterminatedReported()) return;
  CMessageBuffer* message = active_input_;
  std::uint32_t status = kStatusNotReported;
  AbortTransferOf(message, &status);
  Post(kEventInputComplete, kCodeInputUnterminated, message != nullptr ? message->Count() : 0, message, 0);
  active_input_ = nullptr;
  machine_.OnUnterminatedReported();
}

void CEngineDevice::ReportInterruption() {
  CMessageBuffer* message = active_output_;
  std::uint32_t status = kStatusNotReported;
  AbortTransferOf(message, &status);
  Post(kEventResponseComplete, kCodeResponseInterrupted, message != nullptr ? message->Count() : 0, message, 1);
  active_output_ = nullptr;
  machine_.OnInterruptionReported();
}

// Tells the application once that the host asks for a response, when it enabled that event.
void CEngineDevice::ReportResponseRequest() {
  if (!machine_.IsResponseRequested() || registers_[kEventResponseRequested].enabled == 0) return;
  Post(kEventResponseRequested, kCodeResponseRequested, 0, nullptr, 1);
  machine_.OnResponseRequestReported();
}

void CEngineDevice::SendIfAllowed(std::uint32_t* status) {
  if (active_output_ != nullptr && last_direction_ == kHostDirectionRead && RespondingAllowed() && InSendOrResponse() &&
      physical_interface_ != nullptr && !physical_interface_->IsCurrentMessage(active_output_)) {
    *status = kStatusNotReported;
    physical_interface_->BeginSend(active_output_, status);
  }
}

void CEngineDevice::TakeBackPartialInput() {
  if (active_input_ == nullptr) return;
  std::uint32_t status = kStatusNotReported;
  AbortTransferOf(active_input_, &status);
  if (active_input_->Count() != 0) machine_.OnMessageData();
}

void CEngineDevice::ServiceTransfers(std::uint32_t* status) {
  *status = kStatusSuccess;
  if (machine_.IsInterrupted()) {
    ReportInterruption();
  } else if (!machine_.IsTriggerActive()) {
    if (active_input_ != nullptr && last_direction_ == kHostDirectionWrite) {
      ArmReceive(status);
    } else if (active_output_ != nullptr && last_direction_ == kHostDirectionRead) {
      SendIfAllowed(status);
    } else {
      ReportResponseRequest();
    }
  } else {
    DeliverTrigger();
  }
  if (machine_.IsUnterminated()) ReportUnterminated();
  ApplyFlowControl();
}

// ---------------------------------------------------------------------------------------------------
// Handlers (transport threads)

void CEngineDevice::OnInputComplete(CMessageBuffer* message) {
  if (machine_.IsEndReceived() || machine_.IsTriggerActive()) {
    deferred_input_ = message;
  } else {
    PostInputComplete(message);
  }
  const bool end = message->End();
  machine_.OnMessageData();
  if (end) machine_.OnEndReceived();
  active_input_ = nullptr;
  ApplyFlowControl();
}

void CEngineDevice::OnOutputComplete(CMessageBuffer* message) {
  if (message->Count() >= message->Length() && message->End()) machine_.OnResponseSent();
  Post(kEventResponseComplete, kCodeResponseSent, message->Count(), message, 0);
  active_output_ = nullptr;
  ApplyFlowControl();
}

void CEngineDevice::OnStatusByteNeeded() {
  if (registers_[kEventStatusByteRequest].enabled == 0) return;
  Post(kEventStatusByteRequest, kCodeStatusByteRequest, 0, nullptr, 0);
  ApplyFlowControl();
}

void CEngineDevice::OnRemoteLocalChange(std::uint32_t state) {
  if (registers_[kEventRemoteLocal].enabled == 0 || state < kRemoteLocalLocs || state > kRemoteLocalRwls) return;
  Post(kEventRemoteLocal, kCodeRemoteLocalBase + state - 1, 0, nullptr, 0);
  ApplyFlowControl();
}

void CEngineDevice::OnException(std::uint32_t code) { HandleException(code); }

void CEngineDevice::HandleException(std::uint32_t code) {
  CPhysicalInterface* physical_interface = physical_interface_;
  std::uint32_t status = kStatusNotReported;
  if (code == kExceptionDeviceRemoved) {
    // The hardware is gone: no further call to the interface.
    if (physical_interface != nullptr) physical_interface->DetachEngineDevice();
    physical_interface_ = nullptr;
    flow_held_ = 0;
    suspension_.Forget();
  } else if (physical_interface != nullptr) {
    AbortTransferOf(active_input_, &status);
    AbortTransferOf(active_output_, &status);
    physical_interface->Disable(&status);
  }
  if (active_input_ != nullptr) active_input_->Cancel();
  if (active_output_ != nullptr) active_output_->Cancel();
  active_input_ = nullptr;
  active_output_ = nullptr;
  if (code == kExceptionPluginShutDown) {
    // The plug-in takes the interface with it, and the message buffers go: no queued event may keep
    // pointing at them. A flow-control hold is given back before the interface is forgotten.
    ReleaseFlowControl();
    if (physical_interface_ != nullptr) physical_interface_->DetachEngineDevice();
    physical_interface_ = nullptr;
    if (deferred_input_ != nullptr) deferred_input_->Cancel();
    deferred_input_ = nullptr;
    queue_->ForgetBuffer(input_);
    queue_->ForgetBuffer(output_);
    delete input_;
    delete output_;
    input_ = nullptr;
    output_ = nullptr;
  }
  if (registers_[kEventException].enabled != 0) Post(kEventException, code, 0, nullptr, 0);
}

void CEngineDevice::OnArmReceiveRequest() {
  last_direction_ = kHostDirectionWrite;
  std::uint32_t status = kStatusNotReported;
  AbortTransferOf(active_output_, &status);
  if (active_input_ != nullptr) ArmReceive(&status);
}

void CEngineDevice::OnBeginReceive() {
  machine_.OnMessageData();
  if (machine_.IsInterrupted()) ReportInterruption();
  ApplyFlowControl();
}

void CEngineDevice::OnArmSendRequest() {
  last_direction_ = kHostDirectionRead;
  TakeBackPartialInput();
  machine_.OnReadRequest();
  std::uint32_t status = kStatusNotReported;
  if (machine_.IsInterrupted()) {
    ReportInterruption();
  } else if (active_output_ == nullptr) {
    ReportResponseRequest();
  } else {
    SendIfAllowed(&status);
  }
  if (machine_.IsUnterminated()) ReportUnterminated();
  ApplyFlowControl();
}

void CEngineDevice::OnTrigger() {
  TakeBackPartialInput();
  machine_.OnTrigger();
  if (machine_.IsInterrupted()) {
    ReportInterruption();
  } else if (machine_.TriggersHeldBack() == 0) {
    DeliverTrigger();
  }
  ApplyFlowControl();
}

void CEngineDevice::OnDeviceClear() {
  std::uint32_t status = kStatusNotReported;
  machine_.ResetForDeviceClear();
  if (active_input_ == nullptr && deferred_input_ != nullptr) {
    active_input_ = deferred_input_;
    deferred_input_ = nullptr;
  }
  if (active_input_ != nullptr) {
    // The buffer stays posted, emptied: binding it again drops the bytes received and the END flag.
    AbortTransferOf(active_input_, &status);
    active_input_->Bind(active_input_->ApplicationBuffer(), active_input_->Length(), false, &status);
    physical_interface_->AttachMessageBuffer(active_input_, &status);
  }
  if (active_output_ != nullptr) {
    AbortTransferOf(active_output_, &status);
    Post(kEventResponseComplete, kCodeResponseDiscarded, active_output_->Count(), active_output_, 0);
    active_output_ = nullptr;
  }
  if (registers_[kEventDeviceClear].enabled != 0) {
    Post(kEventDeviceClear, kCodeDeviceClear, 0, nullptr, 1);
  } else {
    physical_interface_->DeviceClearDone(&status);
    machine_.OnDeviceClearDone();
    ServiceTransfers(&status);
  }
  ApplyFlowControl();
}

// ---------------------------------------------------------------------------------------------------
// Operations

void CEngineDevice::Enable(const void* settings, std::uint32_t* status) {
  if (!LockWithInterface(status)) return;
  if (physical_interface_->IsEnabled()) {
    *status = kStatusInterfaceAlreadyEnabled;
  } else {
    machine_.Reset();
    last_direction_ = kHostDirectionNone;
    // A flow-control hold left from before a transport failure disabled the interface is given back
    // (a disabled transport counts it as well), so that the engine starts from depth 0.
    ReleaseFlowControl();
    *status = kStatusNotReported;
    physical_interface_->Enable(settings, status);
    if (*status == kStatusSuccess) physical_interface_->CreateMessageBuffer(input_, status);
    if (*status == kStatusSuccess) physical_interface_->CreateMessageBuffer(output_, status);
    // A transport comes out of Enable with its events suspended once; this hands them out.
    if (physical_interface_->IsEnabled()) {
      suspension_.AdoptEnableSuspension("CEngineDevice::Enable");
      ResumeTransport(status);
    }
  }
  mutex_->Unlock();
}

void CEngineDevice::Disable(std::uint32_t* status) {
  if (!BeginOperation(status)) {
    if (*status == kStatusNoPhysicalInterface) *status = kStatusSuccess;
    return;
  }
  DropActive(&active_input_);
  if (deferred_input_ != nullptr) {
    deferred_input_->Complete();
    deferred_input_ = nullptr;
  }
  DropActive(&active_output_);
  *status = kStatusNotReported;
  physical_interface_->Disable(status);
  std::uint32_t step = kStatusNotReported;
  if (machine_.IsRelaxedMode()) machine_.DisableRelaxedMode(&step);
  // Nothing is delivered by a disabled transport: the flow-control hold and this operation's
  // suspension are both given back, so the next Enable starts from depth 0.
  ReleaseFlowControl();
  suspension_.ExpectHeld(1, "CEngineDevice::Disable");
  ResumeTransport(status);
  mutex_->Unlock();
}

void CEngineDevice::EnableEvent(std::uint32_t id, DoVovuriEventFunction function, void* context,
                                std::uint32_t* status) {
  bool suspended = false;
  if (!BeginAnyStateOperation(&suspended, status)) return;
  if (registers_[id].enabled != 0) {
    *status = kStatusEventAlreadyEnabled;
  } else {
    // The remote/local register is filled before the transport is asked: the transport reports a
    // current remote state from inside its enable, and that report must not be dropped.
    if (id == kEventRemoteLocal) registers_[id] = EventRegister{1, function, context};
    SetTransportEvent(id, true, status);
    registers_[id] = *status == kStatusSuccess ? EventRegister{1, function, context} : EventRegister{};
  }
  EndAnyStateOperation(suspended, status);
}

void CEngineDevice::DisableEvent(std::uint32_t id, std::uint32_t* status) {
  bool suspended = false;
  if (!BeginAnyStateOperation(&suspended, status)) return;
  *status = kStatusSuccess;
  if (registers_[id].enabled != 0) {
    SetTransportEvent(id, false, status);
    if (*status == kStatusSuccess) registers_[id] = EventRegister{0, nullptr, nullptr};
  }
  EndAnyStateOperation(suspended, status);
}

void CEngineDevice::WaitForEvent(bool wait_forever, DoVovuriEventEntry* entry, std::uint32_t* status) {
  for (;;) {
    queue_->Wait(wait_forever, status);
    if (*status != kStatusSuccess) return;
    std::uint32_t lock_status = kStatusNotReported;
    if (!mutex_->Lock(&lock_status)) {
      *status = kStatusNotReported;
      return;
    }
    CPhysicalInterface* physical_interface = physical_interface_;
    const bool suspended = physical_interface != nullptr && physical_interface->IsEnabled();
    if (suspended && !SuspendTransport(status)) {
      mutex_->Unlock();
      return;
    }
    std::uint32_t get_status = kStatusNotReported;
    queue_->Get(entry, &get_status);
    bool delivered = false;
    if (get_status == kStatusSuccess) {
      if (entry->buffer != nullptr) {
        // The message's bytes reach the application buffer now, also when the event is not delivered.
        CMessageBuffer* message = static_cast<CMessageBuffer*>(entry->buffer);
        void* application = message->ApplicationBuffer();
        message->Complete();
        entry->buffer = application;
      }
      const std::uint32_t code = entry->code;
      delivered = !((code <= kCodeInputUnterminated && registers_[kEventInputComplete].enabled == 0) ||
                    (code >= kCodeResponseSent && code <= kCodeResponseDiscarded &&
                     registers_[kEventResponseComplete].enabled == 0));
    }
    if (queue_->Count() < kHalfFull) ReleaseFlowControl();
    *status = kStatusSuccess;
    if (suspended) ResumeTransport(status);
    mutex_->Unlock();
    if (delivered) return;
  }
}

void CEngineDevice::AbortEventWait(std::uint32_t* status) {
  std::uint32_t lock_status = kStatusNotReported;
  if (!mutex_->Lock(&lock_status)) {
    *status = kStatusNotReported;
    return;
  }
  queue_->Abort(status);
  mutex_->Unlock();
}

void CEngineDevice::AcknowledgeEvent(std::uint32_t code, std::uint32_t* status) {
  if (!BeginOperation(status)) return;
  *status = kStatusSuccess;
  if (code == kCodeResponseRequested) {
    machine_.OnResponseRequestAcknowledged();
  } else if (code == kCodeInputTrigger) {
    machine_.OnTriggerDone();
  } else if (code == kCodeDeviceClear) {
    *status = kStatusNotReported;
    physical_interface_->DeviceClearDone(status);
    machine_.OnDeviceClearDone();
  }
  std::uint32_t service_status = kStatusNotReported;
  ServiceTransfers(&service_status);
  if (*status == kStatusSuccess) *status = service_status;
  EndOperation(status);
}

void CEngineDevice::PostInputBuffer(void* data, std::uint32_t capacity, std::uint32_t* status) {
  if (!BeginOperation(status)) return;
  if (input_->IsBound()) {
    *status = kStatusInputBufferPosted;
  } else {
    if (BindMessage(input_, data, capacity, false, status)) {
      active_input_ = input_;
      ArmReceive(status);
    }
    if (*status != kStatusSuccess) {
      input_->Complete();
      active_input_ = nullptr;
    }
  }
  EndOperation(status);
}

void CEngineDevice::CancelInputBuffer(std::uint32_t* status) {
  if (!BeginOperation(status)) return;
  CancelActive(&active_input_, kStatusNoInputBuffer, status);
  EndOperation(status);
}

void CEngineDevice::QueueResponse(const void* data, std::uint32_t count, bool end, std::uint32_t* status) {
  if (!BeginOperation(status)) return;
  if (!RespondingAllowed()) {
    if (machine_.GetState() == Mep::kDeadlock) {
      *status = kStatusDeadlocked;
    } else {
      *status = RefusalStatus(kStatusQueryNotDetected);
    }
  } else if (output_->IsBound()) {
    *status = kStatusResponseQueued;
  } else {
    if (BindMessage(output_, const_cast<void*>(data), count, end, status)) {
      active_output_ = output_;
      machine_.OnResponseQueued();
      SendIfAllowed(status);
    }
    if (*status != kStatusSuccess) {
      output_->Complete();
      active_output_ = nullptr;
    }
  }
  EndOperation(status);
}

void CEngineDevice::CancelResponse(std::uint32_t* status) {
  if (!BeginOperation(status)) return;
  CancelActive(&active_output_, kStatusNoResponseQueued, status);
  EndOperation(status);
}

void CEngineDevice::QueryDetected(std::uint32_t* status) {
  if (!BeginOperation(status)) return;
  machine_.OnQueryDetected();
  if (!machine_.IsMessageActive() && !machine_.IsTriggerActive()) {
    *status = RefusalStatus(kStatusNewMessageNotReceived);
  } else if (machine_.GetState() == Mep::kDeadlock) {
    *status = kStatusDeadlocked;
  } else {
    ReportResponseRequest();
    ServiceTransfers(status);
  }
  EndOperation(status);
}

void CEngineDevice::FinishProcessing(std::uint32_t* status) {
  if (machine_.IsInterrupted()) ReportInterruption();
  if (deferred_input_ != nullptr) {
    CMessageBuffer* message = deferred_input_;
    deferred_input_ = nullptr;
    PostInputComplete(message);
  }
  ServiceTransfers(status);
}

void CEngineDevice::MessageProcessed(std::uint32_t* status) {
  if (!BeginOperation(status)) return;
  if (!machine_.IsEndReceived() && !(machine_.IsTriggerActive() && !machine_.IsMessageActive())) {
    *status = RefusalStatus(kStatusEndNotReceived);
  } else {
    machine_.OnMessageProcessed();
    FinishProcessing(status);
  }
  EndOperation(status);
}

void CEngineDevice::EndProcessed(std::uint32_t* status) {
  if (!BeginOperation(status)) return;
  if (!machine_.IsEndReceived()) {
    *status = RefusalStatus(kStatusEndNotReceived);
  } else {
    machine_.OnEndProcessed();
    FinishProcessing(status);
  }
  EndOperation(status);
}

void CEngineDevice::ReportDeadlock(std::uint32_t* status) {
  if (!BeginOperation(status)) return;
  machine_.OnDeadlockRequest();
  if (machine_.GetState() == Mep::kDeadlock) {
    DropActive(&active_output_);
    *status = kStatusSuccess;
  } else if (!machine_.IsMessageActive() && !machine_.IsTriggerActive()) {
    *status = RefusalStatus(kStatusNewMessageNotReceived);
  } else if (RespondingAllowed()) {
    *status = kStatusMessageRequested;
  } else {
    *status = kStatusQueryNotDetected;
  }
  EndOperation(status);
}

void CEngineDevice::AcknowledgeUnterminated(std::uint32_t* status) {
  if (!BeginOperation(status)) return;
  if (!machine_.IsUnterminated()) {
    *status = RefusalStatus(kStatusNotUnterminated);
  } else {
    DropActive(&active_output_);
    machine_.OnUnterminatedAcknowledged();
    ServiceTransfers(status);
  }
  EndOperation(status);
}

void CEngineDevice::SetStatusByte(std::uint8_t byte, std::uint32_t* status) {
  if (!BeginOperation(status)) return;
  *status = kStatusSuccess;
  physical_interface_->SetStatusByte(byte, status);
  ApplyFlowControl();
  EndOperation(status);
}

void CEngineDevice::RequestService(std::uint32_t* status) {
  if (!BeginOperation(status)) return;
  *status = kStatusSuccess;
  physical_interface_->RequestService(status);
  EndOperation(status);
}

void CEngineDevice::WithdrawServiceRequest(std::uint32_t* status) {
  if (!BeginOperation(status)) return;
  *status = kStatusSuccess;
  physical_interface_->CancelServiceRequest(status);
  EndOperation(status);
}

void CEngineDevice::ReturnToLocal(std::uint32_t* status) {
  if (!BeginOperation(status)) return;
  *status = kStatusNotReported;
  physical_interface_->ReturnToLocal(status);
  EndOperation(status);
}

void CEngineDevice::EnableRelaxedMode(std::uint32_t* status) { SetRelaxedMode(true, status); }

void CEngineDevice::DisableRelaxedMode(std::uint32_t* status) { SetRelaxedMode(false, status); }

void CEngineDevice::SetRelaxedMode(bool on, std::uint32_t* status) {
  bool suspended = false;
  if (!BeginAnyStateOperation(&suspended, status)) return;
  if (machine_.IsRelaxedMode() == on) {
    *status = on ? kStatusRelaxedAlreadyEnabled : kStatusRelaxedAlreadyDisabled;
  } else {
    *status = kStatusNotReported;
    on ? machine_.EnableRelaxedMode(status) : machine_.DisableRelaxedMode(status);
  }
  EndAnyStateOperation(suspended, status);
}

void CEngineDevice::ExceptionOutsideEvents(std::uint32_t code) {
  std::uint32_t lock_status = kStatusNotReported;
  if (!mutex_->Lock(&lock_status)) return;
  CPhysicalInterface* physical_interface = physical_interface_;
  if (physical_interface == nullptr) {
    mutex_->Unlock();
    return;
  }
  std::uint32_t status = kStatusNotReported;
  const bool suspended = suspension_.Suspend(physical_interface, "CEngineDevice::ExceptionOutsideEvents", &status);
  HandleException(code);
  if (suspended && physical_interface_ == physical_interface) {
    ResumeTransport(&status);
  } else if (suspended) {
    // Given back on the interface that was suspended, also when the engine has just forgotten it
    // (and with it what the engine held there).
    suspension_.Forget();
    status = kStatusNotReported;
    physical_interface->ResumeEvents(&status);
  }
  mutex_->Unlock();
}
