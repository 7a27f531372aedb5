#include "engine/CFunctionCallInterface.h"

#include <cstdint>
#include <new>

#include "engine/CEngineDevice.h"
#include "engine/CEventObserver.h"
#include "engine/DoVovuriEngine.h"
#include "engine/DoVovuriStatus.h"

namespace {

bool IsAligned(const void* data) { return (reinterpret_cast<std::uintptr_t>(data) & 3u) == 0; }

}  // namespace

CFunctionCallInterface::CFunctionCallInterface(const DoVovuriDeviceDescriptor* descriptor, std::uint32_t context)
    : status_(kStatusNotReported) {
  if ((kComponentVersion >> 16) != 0x0106) {
    status_ = kStatusInternalIncompatible;
    return;
  }
  std::uint32_t status = kStatusNotReported;
  handle_ = DoVovuriCreateDevice(descriptor, context, &status);
  status_ = status;
  if (status == kStatusSuccess) valid_ = 1;
}

CFunctionCallInterface::~CFunctionCallInterface() {
  StopEventLoop();
  DestroyDevice();
}

void CFunctionCallInterface::StopEventLoop() {
  if (event_loop_ == nullptr) return;
  event_loop_->Stop();
  delete event_loop_;
  event_loop_ = nullptr;
}

void CFunctionCallInterface::DestroyDevice() {
  if (handle_ == -1) return;
  std::uint32_t status = kStatusNotReported;
  DoVovuriDestroyDevice(handle_, &status);
  handle_ = -1;
}

CEngineDevice* CFunctionCallInterface::Device(std::uint32_t* status) {
  if (handle_ == -1) {
    *status = kStatusDeviceNotFound;
    return nullptr;
  }
  return DoVovuriLookupDevice(handle_, status);
}

std::uint8_t CFunctionCallInterface::IsValid(std::uint32_t* status) {
  *status = status_;
  return valid_;
}

void CFunctionCallInterface::Enable(const void* settings, std::uint32_t* status) {
  if (settings == nullptr) {
    *status = kStatusNullPointer;
    return;
  }
  if (CEngineDevice* device = Device(status)) device->Enable(settings, status);
}

void CFunctionCallInterface::Disable(std::uint32_t* status) {
  if (CEngineDevice* device = Device(status)) device->Disable(status);
}

void CFunctionCallInterface::EnableEventLoop(std::uint32_t* status) {
  if (event_loop_ != nullptr) {
    *status = kStatusEventLoopRunning;
    return;
  }
  event_loop_ = new (std::nothrow) CEventObserver(this);
  if (event_loop_ == nullptr) {
    *status = kStatusOutOfMemory;
    return;
  }
  std::uint32_t start_status = kStatusNotReported;
  event_loop_->Start(CEventObserver::kPriority, &start_status);
  *status = start_status == kStatusSuccess ? kStatusSuccess : kStatusNotReported;
}

void CFunctionCallInterface::EnableEvent(std::uint32_t id, DoVovuriEventFunction function, void* context,
                                         std::uint32_t* status) {
  if (id >= kEventRegisterCount) {
    *status = kStatusEventInvalid;
    return;
  }
  if (function == nullptr) {
    *status = kStatusNullPointer;
    return;
  }
  if (CEngineDevice* device = Device(status)) device->EnableEvent(id, function, context, status);
}

void CFunctionCallInterface::DisableEvent(std::uint32_t id, std::uint32_t* status) {
  if (id >= kEventRegisterCount) {
    *status = kStatusEventInvalid;
    return;
  }
  if (CEngineDevice* device = Device(status)) device->DisableEvent(id, status);
}

void CFunctionCallInterface::WaitForEvent(std::uint8_t wait_forever, DoVovuriEventEntry* entry, std::uint32_t* status) {
  if (entry == nullptr) {
    *status = kStatusNullPointer;
    return;
  }
  if (CEngineDevice* device = Device(status)) device->WaitForEvent(wait_forever != 0, entry, status);
  if (*status != kStatusSuccess) {
    entry->code = kEventCodeNone;
    entry->function = nullptr;
  }
}

void CFunctionCallInterface::AbortEventWait(std::uint32_t* status) {
  if (CEngineDevice* device = Device(status)) device->AbortEventWait(status);
}

void CFunctionCallInterface::DispatchEvent(DoVovuriEventEntry* entry, std::uint32_t* status) {
  if (entry == nullptr) {
    *status = kStatusNullPointer;
    return;
  }
  if (entry->code == kEventCodeNone || entry->function == nullptr) {
    *status = kStatusEventInvalid;
    return;
  }
  entry->function(entry->code, entry->data, entry->context, entry->buffer);
  *status = kStatusSuccess;
  if (entry->acknowledge != 0) {
    if (CEngineDevice* device = Device(status)) device->AcknowledgeEvent(entry->code, status);
  }
}

void CFunctionCallInterface::PostInputBuffer(void* data, std::uint32_t capacity, std::uint32_t* status) {
  if (data == nullptr) {
    *status = kStatusBufferInvalid;
  } else if (!IsAligned(data)) {
    *status = kStatusBufferNotAligned;
  } else if (capacity == 0 || (capacity != 1 && capacity % 4 != 0)) {
    *status = kStatusBufferSizeInvalid;
  } else if (CEngineDevice* device = Device(status)) {
    device->PostInputBuffer(data, capacity, status);
  }
}

void CFunctionCallInterface::CancelInputBuffer(std::uint32_t* status) {
  if (CEngineDevice* device = Device(status)) device->CancelInputBuffer(status);
}

void CFunctionCallInterface::QueueResponse(const void* data, std::uint32_t count, std::uint8_t end,
                                           std::uint32_t* status) {
  if (data == nullptr) {
    *status = kStatusBufferInvalid;
  } else if (!IsAligned(data)) {
    *status = kStatusBufferNotAligned;
  } else if (count == 0) {
    *status = kStatusBufferSizeInvalid;
  } else if (CEngineDevice* device = Device(status)) {
    device->QueueResponse(data, count, end != 0, status);
  }
}

#define FORWARD(operation) \
  void CFunctionCallInterface::operation(std::uint32_t* status) { \
    if (CEngineDevice* device = Device(status)) device->operation(status); \
  }
FORWARD(CancelResponse)
FORWARD(QueryDetected)
FORWARD(MessageProcessed)
FORWARD(EndProcessed)
FORWARD(ReportDeadlock)
FORWARD(AcknowledgeUnterminated)
FORWARD(RequestService)
FORWARD(WithdrawServiceRequest)
FORWARD(ReturnToLocal)
FORWARD(EnableRelaxedMode)
FORWARD(DisableRelaxedMode)
#undef FORWARD

void CFunctionCallInterface::SetStatusByte(std::uint8_t status_byte, std::uint32_t* status) {
  if (CEngineDevice* device = Device(status)) device->SetStatusByte(status_byte, status);
}
