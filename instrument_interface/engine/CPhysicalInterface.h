// CPhysicalInterface: the one boundary between the 488.2 engine and a transport (VXI-11, USB, or the
// test transport of the unit tests).
//
// The class has three faces, kept apart below:
//  1. What the transport implements: the virtual operations (enable, move bytes, suspend and resume
//     its event delivery, report the status byte and service requests).
//  2. What the engine calls: the engine-side operations, called by the engine device under its mutex
//     with the transport's events suspended (or from a handler of this class on a transport thread).
//  3. What the transport calls back: the entry points, called on the transport's own threads while its
//     events are not suspended. Each hands the event to the engine device bound to the interface.
//
// Suspension contract: SuspendEvents returns only when no entry point of this interface is running on
// another thread, and until the matching ResumeEvents the transport calls no entry point. Suspensions
// nest, and a resume may come from another thread than its suspend. An entry point may itself suspend
// (the engine's flow control does, when its event queue fills): that suspension does not wait for the
// entry point that made it. Enable leaves the events suspended once; the engine's Enable resumes them
// when the device is ready.
//
// The class also owns the byte-moving loops that cut a message into transfers the transport can take,
// including the termination-character cut of responses.
#pragma once

#include <cstdint>

#include "engine/CServiceRequestStateMachine.h"
#include "engine/CStatusByteStateMachine.h"

class CDataBuffer;
class CEngineDevice;
class CMessageBuffer;
class COSUsbDevice;

// Exception codes a transport reports through NotifyException.
constexpr std::uint32_t kExceptionDeviceRemoved = 48;    // the hardware is gone: forget the interface
constexpr std::uint32_t kExceptionTransferFailed = 49;   // a data transfer failed
constexpr std::uint32_t kExceptionPluginShutDown = 52;   // the plug-in takes its interfaces with it
constexpr std::uint32_t kExceptionTransportFailed = 53;  // status read failed, listener ended, ...

// Remote/local states a transport reports (IEEE 488.1 LOCS, REMS, LWLS, RWLS).
constexpr std::uint32_t kRemoteLocalLocs = 1;
constexpr std::uint32_t kRemoteLocalRems = 2;
constexpr std::uint32_t kRemoteLocalLwls = 3;
constexpr std::uint32_t kRemoteLocalRwls = 4;

class CPhysicalInterface : public CStatusByteStateMachineEventObserver,
                           public CServiceRequestStateMachineEventObserver {
 public:
  // os_device: the USB stack's device, null for other transports. When *status is non-zero on entry the
  // constructor stops at once; otherwise it creates the two status machines (kStatusOutOfMemory when that fails).
  CPhysicalInterface(COSUsbDevice* os_device, std::uint32_t device_index, std::uint32_t plugin_id,
                     std::uint32_t* status);
  ~CPhysicalInterface() override;

  CPhysicalInterface(const CPhysicalInterface&) = delete;
  CPhysicalInterface& operator=(const CPhysicalInterface&) = delete;

  std::uint32_t DeviceIndex() const { return device_index_; }
  std::uint32_t PluginId() const { return plugin_id_; }
  COSUsbDevice* OsDevice() const { return os_device_; }
  CEngineDevice* EngineDevice() const { return engine_device_; }

  // ===== 1. Implemented by the transport ===========================================================
  // Called by the engine with the engine device's mutex held (Enable, Disable, transfers) or from an
  // entry point on the transport's own thread (transfers, service requests, status byte).

  // Status-byte machine's request for a fresh status byte: posts the status-byte request event.
  void OnStatusByteNeeded(std::uint32_t* status) override;

  virtual bool IsEnabled() = 0;
  virtual void Enable(const void* settings, std::uint32_t* status) = 0;
  virtual void Disable(std::uint32_t* status) = 0;
  virtual void ResumeEvents(std::uint32_t* status) = 0;
  virtual void SuspendEvents(std::uint32_t* status) = 0;
  virtual void EnableTrigger(std::uint32_t* status) = 0;
  virtual void DisableTrigger(std::uint32_t* status) = 0;
  virtual void EnableRemoteLocal(std::uint32_t* status) = 0;
  virtual void DisableRemoteLocal(std::uint32_t* status) = 0;
  virtual void InputBufferReady(std::uint32_t* status) = 0;
  virtual void DeviceClearDone(std::uint32_t* status) = 0;
  virtual void ReturnToLocal(std::uint32_t* status) = 0;
  virtual std::uint32_t GetInputBufferSize() { return 0; }
  virtual void AttachInputBuffer(CDataBuffer* buffer, std::uint32_t* status);
  // Receive host bytes into the buffer's window; completion later through DataReceived.
  virtual void Receive(CDataBuffer* buffer, std::uint32_t* status) = 0;
  virtual void CancelReceive(std::uint32_t* count, bool* end, std::uint32_t* status) = 0;
  virtual std::uint32_t GetOutputBufferSize() { return 0; }
  virtual void AttachOutputBuffer(CDataBuffer* buffer, std::uint32_t* status);
  // Send the buffer's window to the host; completion later through DataSent.
  virtual void Send(CDataBuffer* buffer, bool term_char_found, bool end, std::uint32_t* status) = 0;
  virtual void CancelSend(std::uint32_t* count, std::uint32_t* status) = 0;
  virtual bool IsReceiveActive() = 0;
  virtual bool IsSendActive() = 0;
  virtual void ClampTransfer(CDataBuffer* buffer) = 0;
  virtual bool IsTermCharEnabled() { return false; }
  virtual std::uint8_t GetTermChar() { return 10; }
  virtual bool IsConstructed() = 0;
  // The service-request machine's observer operations, implemented by the transport: raise and
  // withdraw the service request on the wire, deliver the status byte that answers the host's read.
  void AssertServiceRequest(std::uint32_t* status) override = 0;
  void WithdrawServiceRequest(std::uint32_t* status) override = 0;
  void ReportStatusByte(std::uint8_t byte, std::uint32_t* status) override = 0;

  // ===== 2. Called by the engine ====================================================================

  void AttachEngineDevice(CEngineDevice* device, std::uint32_t* status);
  void DetachEngineDevice();
  void EnableStatusByteRequest(std::uint32_t* status);
  void DisableStatusByteRequest(std::uint32_t* status);
  // At engine Enable: the transport-sized internal buffer of the message, handed to the transport.
  void CreateMessageBuffer(CMessageBuffer* message, std::uint32_t* status);
  // After a message was bound: hands its application buffer to the transport when it uses that.
  void AttachMessageBuffer(CMessageBuffer* message, std::uint32_t* status);
  void StartReceive(CMessageBuffer* message, std::uint32_t* status);
  void BeginSend(CMessageBuffer* message, std::uint32_t* status);
  void AbortReceive(std::uint32_t* status);
  void AbortSend(std::uint32_t* status);
  bool IsCurrentMessage(const CMessageBuffer* message) const { return current_message_ == message; }
  void SetStatusByte(std::uint8_t byte, std::uint32_t* status);
  void RequestService(std::uint32_t* status);
  void CancelServiceRequest(std::uint32_t* status);

  // ===== 3. Entry points the transport calls (on its own threads, events not suspended) ============
  // Each does nothing while no engine device is bound.

  void DeviceClear();
  void Trigger();
  void RemoteLocalChanged(std::uint32_t state);  // kRemoteLocalLocs .. kRemoteLocalRwls
  void BeginReceive();                           // a host write begins
  void ArmReceive();                             // the host write is ready for bytes
  void DataReceived(std::uint32_t count, bool end);
  void ArmSend();  // the host asks to read
  void DataSent(std::uint32_t count);
  void StatusReadBegin();
  void StatusReadEnd();
  // From inside the transport's event delivery (a thread that SuspendEvents waits for).
  void NotifyException(std::uint32_t code);
  // From any other thread of the transport (a listener that ended, a plug-in being destroyed): takes
  // the engine device's mutex and holds the transport's events back like an application operation.
  // Must not be called from inside an entry point.
  void NotifyExceptionOutsideEvents(std::uint32_t code);

 private:
  friend class CEngineDevice;

  // One receive or send chunk of the current message. Report the transport's status.
  void ReceiveStep(std::uint32_t* status);
  void SendStep(std::uint32_t* status);

  std::uint32_t device_index_;
  std::uint32_t plugin_id_;
  CEngineDevice* engine_device_ = nullptr;
  CMessageBuffer* current_message_ = nullptr;
  std::uint8_t transfer_active_ = 0;
  COSUsbDevice* os_device_;
  CStatusByteStateMachine* status_byte_machine_ = nullptr;
  CServiceRequestStateMachine* service_request_machine_ = nullptr;
};
