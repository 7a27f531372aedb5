#include "engine/C4882Device.h"

#include <array>
#include <cstring>
#include <iterator>

#include "engine/CDoVovuriInterface.h"
#include "engine/CEngineDevice.h"
#include "engine/CPhysicalInterface.h"
#include "engine/DoVovuriEngine.h"
#include "engine/DoVovuriStatus.h"

namespace {

constexpr std::uint32_t kRequestedInterfaceVersion = 0x01050000;

// Reasons of the remote/local event (the state less one) and of the exception event.
enum : std::int32_t {
  kRemoteLocalReasonLocal = 0,
  kRemoteLocalReasonRemote = 1,
  kRemoteLocalReasonLocalLockout = 2,
  kRemoteLocalReasonRemoteLockout = 3,
  kExceptionReasonRemoved = 0,
  kExceptionReasonTransferFailed = 1,
  kExceptionReasonOther = 2,
  kResponseRequestedReason = 1,
};

// The reason of each event code, row by row; every code without a row has none.
struct EventReasonRow {
  std::uint32_t code;
  std::int32_t reason;
};
constexpr EventReasonRow kEventReasonRows[] = {
    {kCodeInputEnd, kInputReasonEnd},
    {kCodeInputBufferFull, kInputReasonBufferFull},
    {kCodeInputTrigger, kInputReasonTrigger},
    {kCodeInputUnterminated, kInputReasonUnterminated},
    {kCodeResponseSent, kResponseReasonSent},
    {kCodeResponseInterrupted, kResponseReasonInterrupted},
    {kCodeResponseDiscarded, kResponseReasonDiscarded},
    {kCodeResponseRequested, kResponseRequestedReason},
    {kCodeRemoteLocalBase + kRemoteLocalLocs - 1, kRemoteLocalReasonLocal},
    {kCodeRemoteLocalBase + kRemoteLocalRems - 1, kRemoteLocalReasonRemote},
    {kCodeRemoteLocalBase + kRemoteLocalLwls - 1, kRemoteLocalReasonLocalLockout},
    {kCodeRemoteLocalBase + kRemoteLocalRwls - 1, kRemoteLocalReasonRemoteLockout},
    {kExceptionDeviceRemoved, kExceptionReasonRemoved},
    {kExceptionTransferFailed, kExceptionReasonTransferFailed},
    {kExceptionTransferFailed + 1, kExceptionReasonOther},  // the two codes between are reserved
    {kExceptionTransferFailed + 2, kExceptionReasonOther},
    {kExceptionPluginShutDown, kExceptionReasonOther},
    {kExceptionTransportFailed, kExceptionReasonOther},
};
static_assert(std::size(kEventReasonRows) == 18, "18 event codes carry a reason");

constexpr std::array<std::int32_t, 128> MakeEventReasonMap() {
  std::array<std::int32_t, 128> map{};
  for (auto& reason : map) reason = -1;
  for (const EventReasonRow& row : kEventReasonRows) map[row.code] = row.reason;
  return map;
}

constexpr std::array<std::int32_t, 128> kEventReasons = MakeEventReasonMap();

std::uint32_t Public(std::uint32_t internal_status) { return DoVovuriPublicStatus(internal_status); }

}  // namespace

const std::int32_t EventReasonMap[128] = {
#define R(i) kEventReasons[i]
#define R8(i) R(i), R(i + 1), R(i + 2), R(i + 3), R(i + 4), R(i + 5), R(i + 6), R(i + 7)
    R8(0),  R8(8),  R8(16), R8(24), R8(32), R8(40),  R8(48),  R8(56),
    R8(64), R8(72), R8(80), R8(88), R8(96), R8(104), R8(112), R8(120),
#undef R8
#undef R
};

// ---------------------------------------------------------------------------------------------------
// C4882Device

C4882Device::~C4882Device() { TearDown(); }

void C4882Device::TearDown() {
  if (interface_ != nullptr) {
    std::uint32_t status = kStatusNotReported;
    interface_->Disable(&status);
    Release();
  }
  status_byte_request_enabled_ = trigger_enabled_ = remote_local_enabled_ = 0;
}

DoVovuriDeviceDescriptor C4882Device::DeviceDescriptor(std::uint32_t transport, std::uint32_t plugin_id,
                                                       const char* plugin_name) {
  DoVovuriDeviceDescriptor descriptor{};
  descriptor.size = kDeviceDescriptorSize;
  descriptor.interface_version = kDeviceInterfaceVersion;
  descriptor.transport = transport;
  descriptor.plugin_id = plugin_id;
  std::memcpy(descriptor.plugin_name, plugin_name, std::strlen(plugin_name));
  return descriptor;
}

std::uint32_t C4882Device::Release() {
  std::uint32_t status = kStatusNotReported;
  ReleaseFunctionCallInterface(interface_, &status);
  if (status == kStatusSuccess) {
    interface_ = nullptr;
    event_loop_ = 0;
    pending_input_.store(nullptr);
    pending_response_.store(nullptr);
  }
  return status;
}

std::uint32_t C4882Device::Enable(const DoVovuriDeviceDescriptor* descriptor, std::uint32_t context,
                                  const void* settings, std::uint8_t start_event_loop) {
  if (interface_ != nullptr) return DOVOVURI_STATUS_DEVICE_ALREADY_ENABLED;
  std::uint32_t status = kStatusNotReported;
  interface_ = CreateFunctionCallInterface(kRequestedInterfaceVersion, descriptor, context, &status);
  if (interface_ != nullptr && start_event_loop != 0) {
    status = kStatusNotReported;
    interface_->EnableEventLoop(&status);
    if (status == kStatusSuccess) event_loop_ = 1;
  }
  struct Registration {
    std::uint32_t id;
    DoVovuriEventFunction function;
    bool wanted;
  };
  const Registration registrations[] = {
      {kEventInputComplete, &InputCompleteEvent, true},
      {kEventResponseComplete, &ResponseCompleteEvent, true},
      {kEventDeviceClear, &DeviceClearEvent, true},
      {kEventStatusByteRequest, &StatusByteRequestEvent, status_byte_request_enabled_ != 0},
      {kEventTrigger, &TriggerEvent, trigger_enabled_ != 0},
      {kEventRemoteLocal, &RemoteLocalEvent, remote_local_enabled_ != 0},
  };
  for (const Registration& registration : registrations) {
    if (interface_ == nullptr || status != kStatusSuccess) break;
    if (!registration.wanted) continue;
    status = kStatusNotReported;
    interface_->EnableEvent(registration.id, registration.function, this, &status);
  }
  if (interface_ != nullptr && status == kStatusSuccess) {
    status = kStatusNotReported;
    interface_->Enable(settings, &status);
  }
  if (interface_ != nullptr && status == kStatusSuccess) return 0;
  TearDown();
  return Public(status);
}

std::uint32_t C4882Device::Disable() {
  if (interface_ == nullptr) {
    status_byte_request_enabled_ = trigger_enabled_ = remote_local_enabled_ = 0;
    return DOVOVURI_STATUS_DEVICE_NOT_ENABLED;
  }
  std::uint32_t status = kStatusNotReported;
  interface_->Disable(&status);
  const std::uint32_t release_status = Release();
  status_byte_request_enabled_ = trigger_enabled_ = remote_local_enabled_ = 0;
  return Public(release_status);
}

std::uint32_t C4882Device::PostInputBuffer(MessageBufferDescriptor* descriptor) {
  if (interface_ == nullptr) return DOVOVURI_STATUS_DEVICE_NOT_ENABLED;
  if (descriptor == nullptr || descriptor->data == nullptr || descriptor->capacity == 0) {
    return DOVOVURI_STATUS_MSG_BUFFER_INVALID;
  }
  MessageBufferDescriptor* expected = nullptr;
  if (!pending_input_.compare_exchange_strong(expected, descriptor)) return DOVOVURI_STATUS_INPUT_QUEUE_ALREADY_ENABLED;
  std::uint32_t status = kStatusNotReported;
  interface_->PostInputBuffer(descriptor->data, descriptor->capacity, &status);
  if (status != kStatusSuccess) {
    expected = descriptor;
    pending_input_.compare_exchange_strong(expected, nullptr);
    return Public(status);
  }
  return 0;
}

std::uint32_t C4882Device::QueueResponse(MessageBufferDescriptor* descriptor, std::uint8_t end) {
  if (interface_ == nullptr) return DOVOVURI_STATUS_DEVICE_NOT_ENABLED;
  if (descriptor == nullptr || descriptor->data == nullptr || descriptor->count == 0 ||
      descriptor->count > descriptor->capacity) {
    return DOVOVURI_STATUS_MSG_BUFFER_INVALID;
  }
  MessageBufferDescriptor* expected = nullptr;
  if (!pending_response_.compare_exchange_strong(expected, descriptor)) {
    return DOVOVURI_STATUS_RESPONSE_MSG_ALREADY_QUEUED;
  }
  std::uint32_t status = kStatusNotReported;
  interface_->QueueResponse(descriptor->data, descriptor->count, end, &status);
  if (status != kStatusSuccess) {
    expected = descriptor;
    pending_response_.compare_exchange_strong(expected, nullptr);
    return Public(status);
  }
  return 0;
}

#define DEVICE_OPERATION(operation) \
  std::uint32_t C4882Device::operation() { \
    if (interface_ == nullptr) return DOVOVURI_STATUS_DEVICE_NOT_ENABLED; \
    std::uint32_t status = kStatusNotReported; \
    interface_->operation(&status); \
    return Public(status); \
  }
DEVICE_OPERATION(QueryDetected)
DEVICE_OPERATION(MessageProcessed)
DEVICE_OPERATION(RequestService)
#undef DEVICE_OPERATION

std::uint32_t C4882Device::AcknowledgeUnterminated() {
  if (interface_ == nullptr) return DOVOVURI_STATUS_DEVICE_NOT_ENABLED;
  std::uint32_t status = kStatusNotReported;
  interface_->AcknowledgeUnterminated(&status);
  if (status == kStatusSuccess) pending_response_.store(nullptr);
  return Public(status);
}

std::uint32_t C4882Device::SetStatusByte(std::uint8_t status_byte) {
  if (interface_ == nullptr) return DOVOVURI_STATUS_DEVICE_NOT_ENABLED;
  std::uint32_t status = kStatusNotReported;
  interface_->SetStatusByte(status_byte, &status);
  return Public(status);
}

std::uint32_t C4882Device::EnableEventFlag(std::uint8_t* flag, std::uint32_t id) {
  if (interface_ == nullptr) {
    if (*flag != 0) return DOVOVURI_STATUS_EVENT_ALREADY_ENABLED;
    *flag = 1;
    return 0;
  }
  DoVovuriEventFunction function = id == kEventStatusByteRequest ? &StatusByteRequestEvent
                                   : id == kEventTrigger         ? &TriggerEvent
                                                                 : &RemoteLocalEvent;
  std::uint32_t status = kStatusNotReported;
  interface_->EnableEvent(id, function, this, &status);
  return Public(status);
}

std::uint32_t C4882Device::EnableStatusByteRequestEvent() {
  return EnableEventFlag(&status_byte_request_enabled_, kEventStatusByteRequest);
}

std::uint32_t C4882Device::EnableTriggerEvent() { return EnableEventFlag(&trigger_enabled_, kEventTrigger); }

std::uint32_t C4882Device::EnableRemoteLocalEvent(std::int32_t mode) {
  remote_local_mode_ = mode;
  return EnableEventFlag(&remote_local_enabled_, kEventRemoteLocal);
}

// ---- event functions (event-loop thread) ----

std::uint32_t C4882Device::InputCompleteEvent(std::uint32_t code, std::uint32_t data, void* context, void* buffer) {
  C4882Device* device = static_cast<C4882Device*>(context);
  const std::int32_t reason = EventReasonMap[code & 0x7F];
  MessageBufferDescriptor* descriptor = nullptr;
  if (buffer != nullptr) {
    descriptor = device->pending_input_.exchange(nullptr);
    if (descriptor != nullptr) descriptor->count = data;
  }
  if (reason == kInputReasonUnterminated) device->pending_response_.store(nullptr);
  device->OnInputComplete(reason, descriptor);
  return 0;
}

std::uint32_t C4882Device::ResponseCompleteEvent(std::uint32_t code, std::uint32_t data, void* context, void* buffer) {
  C4882Device* device = static_cast<C4882Device*>(context);
  const std::int32_t reason = EventReasonMap[code & 0x7F];
  MessageBufferDescriptor* descriptor = nullptr;
  if (buffer != nullptr) {
    descriptor = device->pending_response_.exchange(nullptr);
    if (descriptor != nullptr) descriptor->count = data;
  }
  device->OnResponseComplete(reason, descriptor);
  return 0;
}

std::uint32_t C4882Device::StatusByteRequestEvent(std::uint32_t, std::uint32_t data, void* context, void*) {
  static_cast<C4882Device*>(context)->OnStatusByteRequest(data);
  return 0;
}

std::uint32_t C4882Device::DeviceClearEvent(std::uint32_t, std::uint32_t data, void* context, void*) {
  static_cast<C4882Device*>(context)->OnDeviceClear(data);
  return 0;
}

std::uint32_t C4882Device::TriggerEvent(std::uint32_t, std::uint32_t data, void* context, void*) {
  static_cast<C4882Device*>(context)->OnTrigger(data);
  return 0;
}

std::uint32_t C4882Device::RemoteLocalEvent(std::uint32_t code, std::uint32_t, void* context, void*) {
  C4882Device* device = static_cast<C4882Device*>(context);
  std::int32_t reason = EventReasonMap[code & 0x7F];
  if (device->remote_local_mode_ == 0) {
    // Only local and remote, on change: the lockout states count as their plain state.
    if (reason == kRemoteLocalReasonLocalLockout) reason = kRemoteLocalReasonLocal;
    if (reason == kRemoteLocalReasonRemoteLockout) reason = kRemoteLocalReasonRemote;
    if (reason == device->last_remote_local_) return 0;
  }
  device->last_remote_local_ = reason;
  device->OnRemoteLocalChange(reason);
  return 0;
}
