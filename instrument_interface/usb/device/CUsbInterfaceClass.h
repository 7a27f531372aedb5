// What the USB physical interface sees of an interface class: its description for the device
// manager, attach and detach to the interface's I/O manager, and the engine's transport operations
// (trigger and remote/local capabilities, receive and send, service requests), forwarded one to one
// by CUsbPhysicalInterface.
//
// Called either from an engine operation on an application thread (engine device's mutex held, USB
// events suspended) or nested inside an engine entry point that the class itself called on the
// "USB Interrupt Handler" thread. Every operation with a status word does nothing when it is not 0.
#pragma once

#include <cstdint>

class CDataBuffer;
class CPhysicalInterface;
class CUsbInterfaceClassIoManager;
struct UsbInterfaceDescription;

class CUsbInterfaceClass {
 public:
  virtual ~CUsbInterfaceClass() = default;

  // The physical interface that serves the engine for this class (set by that interface).
  virtual void SetPhysicalInterface(CPhysicalInterface* physical_interface) = 0;
  virtual const UsbInterfaceDescription& GetDescription() = 0;
  virtual void Attach(CUsbInterfaceClassIoManager* io, std::uint32_t* status) = 0;
  virtual void Detach(std::uint32_t* status) = 0;
  virtual void EnableTrigger(std::uint32_t* status) = 0;
  virtual void DisableTrigger(std::uint32_t* status) = 0;
  virtual void EnableRemoteLocal(std::uint32_t* status) = 0;
  virtual void DisableRemoteLocal(std::uint32_t* status) = 0;
  virtual void InputBufferReady(std::uint32_t* status) = 0;
  virtual void DeviceClearDone(std::uint32_t* status) = 0;
  virtual void AttachInputBuffer(CDataBuffer* buffer, std::uint32_t* status) = 0;
  virtual void AttachOutputBuffer(CDataBuffer* buffer, std::uint32_t* status) = 0;
  virtual void Receive(CDataBuffer* buffer, std::uint32_t* status) = 0;
  virtual void CancelReceive(std::uint32_t* count, bool* end, std::uint32_t* status) = 0;
  virtual void Send(CDataBuffer* buffer, std::uint8_t term_char_found, std::uint8_t end, std::uint32_t* status) = 0;
  virtual void CancelSend(std::uint32_t* count, std::uint32_t* status) = 0;
  virtual bool IsReceiveActive() = 0;
  virtual bool IsSendActive() = 0;
  virtual void ClampTransfer(CDataBuffer* buffer) = 0;
  virtual bool IsTermCharEnabled() { return false; }
  virtual std::uint8_t GetTermChar() { return 10; }
  virtual void ReportStatusByte(std::uint8_t byte, std::uint32_t* status) = 0;
  virtual void AssertServiceRequest(std::uint32_t* status) = 0;
  virtual void WithdrawServiceRequest(std::uint32_t* status) = 0;
  virtual void ReturnToLocal(std::uint32_t* status) = 0;
};
