// The application's view of the instrument-interface layer: C4882Device (the IEEE 488.2 device) and its
// two transport specialisations CTcpIpDevice (VXI-11) and CUsbDevice (USBTMC-USB488), with the
// MessageBufferDescriptor that carries the application's message buffers.
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

class CDoVovuriInterface;

// The application's handle on one message buffer.
struct MessageBufferDescriptor {
  std::uint8_t owned;      // 1 when valid (a buffer is attached)
  std::uint32_t status;    // internal status of the Init (0 when valid)
  std::uint8_t* data;      // 4-byte aligned
  std::uint32_t capacity;  // input: room; response: bytes available
  std::uint32_t count;     // response: bytes to send; on hand-back: bytes received or sent
  void* raw;               // the block Init allocated, or null

  // size: 1 or a non-zero multiple of 4 (else 0x54344). storage: caller's, 4-byte aligned (else
  // 0x54343), or null to allocate.
  static void Init(MessageBufferDescriptor* descriptor, std::uint32_t size, void* storage);
  static void Release(MessageBufferDescriptor* descriptor);
};

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

// VXI-11 device settings (24 bytes).
struct DoVovuriVxi11Settings {
  std::uint32_t size;  // 24
  std::uint8_t valid;
  char device_name[16];  // zero-filled
  std::uint8_t version;  // 1
  std::uint8_t name_given;
};
static_assert(sizeof(DoVovuriVxi11Settings) == 24, "VXI-11 settings are 24 bytes");

// USB device settings (680 bytes). The five strings are stored in the order 2, 0, 1, 3, 4; the valid
// and set-by-caller bytes go by field: vendor id, product id, release, configuration value, maximum
// power, attributes, option, connect-at-enable, the five strings (in string order 0 to 4).
struct DoVovuriUsbSettings {
  static constexpr int kFieldCount = 13;
  static constexpr int kStringLength = 127;
  std::uint32_t size;  // 680
  std::uint8_t valid;
  std::uint16_t vendor_id;
  std::uint16_t product_id;
  std::uint16_t device_release;
  std::uint8_t configuration_value;  // 1 to 255
  std::uint8_t max_power;            // 2 mA units, 0 to 250
  std::uint8_t attributes;
  std::uint8_t option;
  std::uint8_t connect_at_enable;
  char strings[5][kStringLength];  // slots: string 2, 0, 1, 3, 4
  std::uint8_t field_valid[kFieldCount];
  std::uint8_t field_set[kFieldCount];
};
static_assert(sizeof(DoVovuriUsbSettings) == 680, "USB settings are 680 bytes");

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

class CTcpIpDevice : public virtual C4882Device {
 public:
  ~CTcpIpDevice() override;
  // name: 1 to 15 characters, or null to let the transport choose.
  std::uint32_t Enable(std::uint32_t context, const char* name, std::uint8_t start_event_loop);
};

class CUsbDevice : public virtual C4882Device {
 public:
  ~CUsbDevice() override;
  // Strings 0 to 2 required (1 to 63 characters), 3 and 4 optional (null or empty: absent; at most
  // 126 characters); every character printable, none of * " : / \ ?, no blank first or last.
  std::uint32_t Enable(std::uint16_t vendor_id, std::uint16_t product_id, std::uint16_t device_release,
                       const char* string0, const char* string1, const char* string2, const char* string3,
                       const char* string4, std::uint8_t max_power, std::uint8_t option, std::uint32_t context,
                       std::uint8_t start_event_loop);
};
