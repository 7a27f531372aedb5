// The application's view of the instrument-interface layer: C4882Device (the IEEE 488.2 device), here,
// and with it its two transport specialisations CTcpIpDevice (VXI-11) and CUsbDevice (USBTMC-USB488),
// their settings records, and the MessageBufferDescriptor that carries the application's buffers.
//
// A host object derives from CTcpIpDevice or CUsbDevice, overrides the event operations, enables the
// device and posts an input buffer. The event operations then run on the device's event-loop thread
// ("DO-Vovuri"), one at a time; the other operations may come from any thread and are serialised by
// the engine. Every operation returns a public status code (DoVovuriStatus.h): 0 for success.
//
// A host object must Disable its device in its own destructor: the base destructors run after the
// host object's part is gone, when an event could no longer reach its overrides.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/CPhysicalInterfaceFactory.h"
#include "engine/MessageBufferDescriptor.h"

class CDoVovuriInterface;

// Reasons handed to the event operations.
enum : std::int32_t {
  kInputReasonEnd = 0,
  kInputReasonBufferFull = 1,
  kInputReasonUnterminated = 2,
  kInputReasonTrigger = 3,
  kResponseReasonSent = 0,
  kResponseReasonInterrupted = 2,
  kResponseReasonDiscarded = 3,
};

// EventReasonMap: the reason of an event code (by its low seven bits), -1 for codes without one.
extern const std::int32_t EventReasonMap[128];

class C4882Device {
 public:
  C4882Device() = default;
  virtual ~C4882Device();
  C4882Device(const C4882Device&) = delete;
  C4882Device& operator=(const C4882Device&) = delete;

  // ---- event operations (event-loop thread) ----
  virtual void OnInputComplete(std::int32_t reason, MessageBufferDescriptor* descriptor) = 0;
  virtual void OnResponseComplete(std::int32_t reason, MessageBufferDescriptor* descriptor) = 0;
  virtual void OnStatusByteRequest(std::uint32_t) {}
  virtual void OnDeviceClear(std::uint32_t word) = 0;
  virtual void OnTrigger(std::uint32_t) {}
  virtual void OnRemoteLocalChange(std::int32_t) {}
  virtual void OnException(std::uint32_t) {}

  // ---- operations ----
  std::uint32_t Disable();
  std::uint32_t PostInputBuffer(MessageBufferDescriptor* descriptor);
  std::uint32_t QueueResponse(MessageBufferDescriptor* descriptor, std::uint8_t end);
  std::uint32_t QueryDetected();
  std::uint32_t MessageProcessed();
  std::uint32_t AcknowledgeUnterminated();
  std::uint32_t SetStatusByte(std::uint8_t status_byte);
  std::uint32_t RequestService();
  std::uint32_t EnableStatusByteRequestEvent();
  std::uint32_t EnableTriggerEvent();
  // mode 0: report only local and remote, on change; any other: every state as it comes.
  std::uint32_t EnableRemoteLocalEvent(std::int32_t mode);

  bool IsEnabled() const { return interface_ != nullptr; }

 protected:
  // The descriptor a transport class hands to the engine: its transport word, plug-in id and name.
  static DoVovuriDeviceDescriptor DeviceDescriptor(std::uint32_t transport, std::uint32_t plugin_id,
                                                   const char* plugin_name);
  // Called by the transports' Enable.
  std::uint32_t Enable(const DoVovuriDeviceDescriptor* descriptor, std::uint32_t context, const void* settings,
                       std::uint8_t start_event_loop);
  // Disable and release the interface (the destructors).
  void TearDown();

 private:
  static std::uint32_t InputCompleteEvent(std::uint32_t code, std::uint32_t data, void* context, void* buffer);
  static std::uint32_t ResponseCompleteEvent(std::uint32_t code, std::uint32_t data, void* context, void* buffer);
  static std::uint32_t StatusByteRequestEvent(std::uint32_t code, std::uint32_t data, void* context, void* buffer);
  static std::uint32_t DeviceClearEvent(std::uint32_t code, std::uint32_t data, void* context, void* buffer);
  static std::uint32_t TriggerEvent(std::uint32_t code, std::uint32_t data, void* context, void* buffer);
  static std::uint32_t RemoteLocalEvent(std::uint32_t code, std::uint32_t data, void* context, void* buffer);

  // Releases the interface; on success forgets it with the loop flag and both descriptors.
  std::uint32_t Release();
  std::uint32_t EnableEventFlag(std::uint8_t* flag, std::uint32_t id);

  CDoVovuriInterface* interface_ = nullptr;
  std::uint8_t event_loop_ = 0;
  std::atomic<MessageBufferDescriptor*> pending_input_{nullptr};
  std::atomic<MessageBufferDescriptor*> pending_response_{nullptr};
  std::uint8_t status_byte_request_enabled_ = 0;
  std::uint8_t trigger_enabled_ = 0;
  std::uint8_t remote_local_enabled_ = 0;
  std::int32_t remote_local_mode_ = 0;
  std::int32_t last_remote_local_ = 0;
};

// The application's view of the layer is this header: the two transport classes come with it.
#include "engine/CTcpIpDevice.h"
#include "engine/CUsbDevice.h"
