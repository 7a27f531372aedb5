#include "engine/CPhysicalInterface.h"

#include <new>

#include "engine/CDataBuffer.h"
#include "engine/CEngineDevice.h"
#include "engine/CMessageBuffer.h"
#include "engine/DoVovuriStatus.h"

CPhysicalInterface::CPhysicalInterface(COSUsbDevice* os_device, std::uint32_t device_index, std::uint32_t plugin_id,
                                       std::uint32_t* status)
    : device_index_(device_index), plugin_id_(plugin_id), os_device_(os_device) {
  if (*status != kStatusSuccess) return;
  status_byte_machine_ = new (std::nothrow) CStatusByteStateMachine(this);
  if (status_byte_machine_ == nullptr) {
    *status = kStatusOutOfMemory;
    return;
  }
  service_request_machine_ = new (std::nothrow) CServiceRequestStateMachine(this, status_byte_machine_, status);
  if (service_request_machine_ == nullptr) *status = kStatusOutOfMemory;
}

CPhysicalInterface::~CPhysicalInterface() {
  delete service_request_machine_;
  delete status_byte_machine_;
}

void CPhysicalInterface::OnStatusByteNeeded(std::uint32_t* status) {
  if (*status != kStatusSuccess) return;
  if (engine_device_ != nullptr) engine_device_->OnStatusByteNeeded();
}

void CPhysicalInterface::AttachInputBuffer(CDataBuffer*, std::uint32_t* status) { *status = kStatusSuccess; }

void CPhysicalInterface::AttachOutputBuffer(CDataBuffer*, std::uint32_t* status) { *status = kStatusSuccess; }

// ---------------------------------------------------------------------------------------------------
// Engine side

void CPhysicalInterface::AttachEngineDevice(CEngineDevice* device, std::uint32_t* status) {
  if (engine_device_ != nullptr) {
    *status = kStatusInterfaceAlreadyBound;
    return;
  }
  engine_device_ = device;
  *status = kStatusSuccess;
}

void CPhysicalInterface::DetachEngineDevice() {
  engine_device_ = nullptr;
  current_message_ = nullptr;
  transfer_active_ = 0;
}

void CPhysicalInterface::EnableStatusByteRequest(std::uint32_t* status) {
  *status = kStatusSuccess;
  status_byte_machine_->EnableRequest(status);
}

void CPhysicalInterface::DisableStatusByteRequest(std::uint32_t* status) {
  *status = kStatusSuccess;
  status_byte_machine_->DisableRequest(status);
}

void CPhysicalInterface::CreateMessageBuffer(CMessageBuffer* message, std::uint32_t* status) {
  *status = kStatusSuccess;
  if (message->Internal() != nullptr) {
    // Made at an earlier Enable; the transport gets it again.
  } else {
    const std::uint32_t size = message->Kind() == CMessageBuffer::kInput ? GetInputBufferSize() : GetOutputBufferSize();
    if (size == 0) return;
    message->CreateInternal(size, status);
    if (*status != kStatusSuccess) return;
  }
  if (message->Kind() == CMessageBuffer::kInput) {
    AttachInputBuffer(message->Internal(), status);
  } else {
    AttachOutputBuffer(message->Internal(), status);
  }
}

void CPhysicalInterface::AttachMessageBuffer(CMessageBuffer* message, std::uint32_t* status) {
  *status = kStatusSuccess;
  if (message->Current() == nullptr || message->Current() == message->Internal()) return;
  if (message->Kind() == CMessageBuffer::kInput) {
    AttachInputBuffer(message->Current(), status);
  } else {
    AttachOutputBuffer(message->Current(), status);
  }
}

void CPhysicalInterface::ReceiveStep(std::uint32_t* status) {
  CMessageBuffer* message = current_message_;
  CDataBuffer* buffer = message->Current();
  buffer->SetWindow(message->Count(), message->Length());
  ClampTransfer(buffer);
  *status = kStatusNotReported;
  Receive(buffer, status);
  if (*status == kStatusSuccess) transfer_active_ = 1;
}

void CPhysicalInterface::SendStep(std::uint32_t* status) {
  CMessageBuffer* message = current_message_;
  CDataBuffer* buffer = message->Current();
  buffer->SetWindow(message->Count(), message->Length());
  ClampTransfer(buffer);
  bool term_char_found = false;
  if (IsTermCharEnabled()) {
    const std::uint32_t start = buffer->WindowStart();
    std::uint32_t position = 0;
    if (buffer->FindByte(GetTermChar(), start, buffer->WindowEnd() - start, &position)) {
      buffer->SetWindow(start, start + position + 1);
      term_char_found = true;
    }
  }
  const bool end =
      message->End() && message->Length() - message->Count() == buffer->WindowEnd() - buffer->WindowStart();
  *status = kStatusNotReported;
  Send(buffer, term_char_found, end, status);
  if (*status == kStatusSuccess) transfer_active_ = 1;
}

void CPhysicalInterface::StartReceive(CMessageBuffer* message, std::uint32_t* status) {
  current_message_ = message;
  *status = kStatusSuccess;
  if (!IsReceiveActive() || transfer_active_ != 0) return;
  ReceiveStep(status);
}

void CPhysicalInterface::BeginSend(CMessageBuffer* message, std::uint32_t* status) {
  current_message_ = message;
  *status = kStatusSuccess;
  if (!IsSendActive() || transfer_active_ != 0) return;
  SendStep(status);
}

void CPhysicalInterface::AbortReceive(std::uint32_t* status) {
  *status = kStatusSuccess;
  if (transfer_active_ != 0 && current_message_ != nullptr) {
    std::uint32_t count = 0;
    bool end = false;
    *status = kStatusNotReported;
    CancelReceive(&count, &end, status);
    current_message_->AddCount(count);
    if (end) current_message_->SetEnd(true);
    transfer_active_ = 0;
  }
  current_message_ = nullptr;
}

void CPhysicalInterface::AbortSend(std::uint32_t* status) {
  *status = kStatusSuccess;
  if (transfer_active_ != 0 && current_message_ != nullptr) {
    std::uint32_t count = 0;
    *status = kStatusNotReported;
    CancelSend(&count, status);
    current_message_->AddCount(count);
    transfer_active_ = 0;
  }
  current_message_ = nullptr;
}

void CPhysicalInterface::SetStatusByte(std::uint8_t byte, std::uint32_t* status) {
  if (*status != kStatusSuccess) return;
  status_byte_machine_->SetStatusByte(byte, status);
}

void CPhysicalInterface::RequestService(std::uint32_t* status) {
  if (*status != kStatusSuccess) return;
  service_request_machine_->Assert(status);
}

void CPhysicalInterface::CancelServiceRequest(std::uint32_t* status) {
  if (*status != kStatusSuccess) return;
  service_request_machine_->Withdraw(status);
}

// ---------------------------------------------------------------------------------------------------
// Entry points

void CPhysicalInterface::DeviceClear() {
  if (engine_device_ != nullptr) engine_device_->OnDeviceClear();
}

void CPhysicalInterface::Trigger() {
  if (engine_device_ != nullptr) engine_device_->OnTrigger();
}

void CPhysicalInterface::RemoteLocalChanged(std::uint32_t state) {
  if (engine_device_ != nullptr) engine_device_->OnRemoteLocalChange(state);
}

void CPhysicalInterface::BeginReceive() {
  if (engine_device_ != nullptr) engine_device_->OnBeginReceive();
}

void CPhysicalInterface::ArmReceive() {
  if (engine_device_ == nullptr) return;
  if (current_message_ == nullptr || current_message_->Kind() != CMessageBuffer::kInput) {
    // No input in transfer: the engine's write request (it also stops a response being sent).
    engine_device_->OnArmReceiveRequest();
    return;
  }
  if (transfer_active_ != 0) return;
  std::uint32_t status = kStatusNotReported;
  ReceiveStep(&status);
  if (status != kStatusSuccess) engine_device_->OnException(kExceptionTransferFailed);
}

void CPhysicalInterface::DataReceived(std::uint32_t count, bool end) {
  if (engine_device_ == nullptr || current_message_ == nullptr || current_message_->Kind() != CMessageBuffer::kInput) {
    return;
  }
  transfer_active_ = 0;
  CMessageBuffer* message = current_message_;
  message->AddCount(count);
  if (end) message->SetEnd(true);
  if (end || message->Count() >= message->Length()) {
    current_message_ = nullptr;
    engine_device_->OnInputComplete(message);
    return;
  }
  if (!IsReceiveActive()) return;
  std::uint32_t status = kStatusNotReported;
  ReceiveStep(&status);
  if (status != kStatusSuccess) engine_device_->OnException(kExceptionTransferFailed);
}

void CPhysicalInterface::ArmSend() {
  if (engine_device_ == nullptr) return;
  if (current_message_ == nullptr || current_message_->Kind() != CMessageBuffer::kOutput) {
    // No response in transfer: the engine's read request (it also stops a receive in progress).
    engine_device_->OnArmSendRequest();
    return;
  }
  if (transfer_active_ != 0) return;
  std::uint32_t status = kStatusNotReported;
  SendStep(&status);
  if (status != kStatusSuccess) engine_device_->OnException(kExceptionTransferFailed);
}

void CPhysicalInterface::DataSent(std::uint32_t count) {
  if (engine_device_ == nullptr || current_message_ == nullptr || current_message_->Kind() != CMessageBuffer::kOutput) {
    return;
  }
  transfer_active_ = 0;
  CMessageBuffer* message = current_message_;
  message->AddCount(count);
  if (message->Count() >= message->Length()) {
    current_message_ = nullptr;
    engine_device_->OnOutputComplete(message);
    return;
  }
  if (!IsSendActive() || transfer_active_ != 0) return;
  std::uint32_t status = kStatusNotReported;
  SendStep(&status);
  if (status != kStatusSuccess) engine_device_->OnException(kExceptionTransferFailed);
}

void CPhysicalInterface::StatusReadBegin() {
  if (engine_device_ == nullptr) return;
  std::uint32_t status = kStatusSuccess;
  service_request_machine_->StatusReadBegin(&status);
  if (status != kStatusSuccess && engine_device_ != nullptr) engine_device_->OnException(kExceptionTransportFailed);
}

void CPhysicalInterface::StatusReadEnd() {
  if (engine_device_ == nullptr) return;
  std::uint32_t status = kStatusSuccess;
  service_request_machine_->StatusReadEnd(&status);
  if (status != kStatusSuccess && engine_device_ != nullptr) engine_device_->OnException(kExceptionTransportFailed);
}

void CPhysicalInterface::NotifyException(std::uint32_t code) {
  if (engine_device_ != nullptr) engine_device_->OnException(code);
}

void CPhysicalInterface::NotifyExceptionOutsideEvents(std::uint32_t code) {
  if (engine_device_ != nullptr) engine_device_->ExceptionOutsideEvents(code);
}
