// The USBTMC-USB488 interface class: one interface (class 0xFE, subclass 3, protocol 1, "USBTMC-USB488
// Interface") with a bulk-OUT, a bulk-IN and an interrupt-IN endpoint.
//
// It meets three parties: the device framework, which delivers setup packets, completions and
// interface events through the I/O manager (CUsbInterfaceClassEventObserver, "USB Interrupt Handler"
// thread); the engine, reached through the CUsbPhysicalInterface made with it (CUsbInterfaceClass
// operations, from an engine operation with USB events suspended or nested inside an engine entry
// point called from here); and its three workers, the bulk manager, the class requests and the
// remote/local machine. It keeps the 24-byte GET_CAPABILITIES record with the DT1 and RL1 bits that
// the engine switches. No lock of its own.
#pragma once

#include <cstdint>

#include "usb/usbtmc/CRemoteLocalStateMachine.h"
#include "usb/device/CUsbDeviceManager.h"
#include "usb/device/CUsbInterfaceClass.h"
#include "usb/device/CUsbInterfaceClassIoManager.h"

class CUsb488ClassRequests;
class CUsbTmcBulkManager;

constexpr std::uint32_t kUsb488CapabilitySize = 24;
constexpr const char* kUsb488InterfaceString = "USBTMC-USB488 Interface";

class CUsb488Class : public CUsbInterfaceClassEventObserver,
                     public CRemoteLocalStateMachineObserver,
                     public CUsbInterfaceClass {
 public:
  // max_chunk: the largest number of bytes one receive or send may cover (the controller's maximum
  // transfer size). A failed construction leaves its code in the status word; the creator deletes.
  CUsb488Class(std::uint32_t max_chunk, std::uint32_t* status);
  ~CUsb488Class() override;
  CUsb488Class(const CUsb488Class&) = delete;
  CUsb488Class& operator=(const CUsb488Class&) = delete;

  // --- device framework ("USB Interrupt Handler" thread) ---
  void OnSetup(const UsbSetupPacket& setup, std::uint32_t* status) override;
  void OnReadComplete(std::int32_t kind, std::uint32_t result, std::uint32_t count, std::uint32_t* status) override;
  void OnWriteComplete(std::int32_t kind, std::uint32_t result, std::uint32_t count, std::uint32_t* status) override;
  void OnInterfaceEnabled(std::uint32_t* status) override;
  void OnInterfaceDisabled(std::uint32_t* status) override;
  void OnSuspend(std::uint32_t* status) override;

  // --- engine side, through the physical interface ---
  void SetPhysicalInterface(CPhysicalInterface* physical_interface) override {
    physical_interface_ = physical_interface;
  }
  const UsbInterfaceDescription& GetDescription() override { return description_; }
  void Attach(CUsbInterfaceClassIoManager* io, std::uint32_t* status) override;
  void Detach(std::uint32_t* status) override;
  void EnableTrigger(std::uint32_t* status) override;
  void DisableTrigger(std::uint32_t* status) override;
  void EnableRemoteLocal(std::uint32_t* status) override;
  void DisableRemoteLocal(std::uint32_t* status) override;
  void InputBufferReady(std::uint32_t* status) override;
  void DeviceClearDone(std::uint32_t* status) override;
  void AttachInputBuffer(CDataBuffer* buffer, std::uint32_t* status) override;
  void AttachOutputBuffer(CDataBuffer* buffer, std::uint32_t* status) override;
  void Receive(CDataBuffer* buffer, std::uint32_t* status) override;
  void CancelReceive(std::uint32_t* count, bool* end, std::uint32_t* status) override;
  void Send(CDataBuffer* buffer, std::uint8_t term_char_found, std::uint8_t end, std::uint32_t* status) override;
  void CancelSend(std::uint32_t* count, std::uint32_t* status) override;
  bool IsReceiveActive() override;
  bool IsSendActive() override;
  void ClampTransfer(CDataBuffer* buffer) override;
  bool IsTermCharEnabled() override;
  std::uint8_t GetTermChar() override;
  void ReportStatusByte(std::uint8_t byte, std::uint32_t* status) override;
  void AssertServiceRequest(std::uint32_t* status) override;
  void WithdrawServiceRequest(std::uint32_t* status) override;
  void ReturnToLocal(std::uint32_t* status) override;

  // --- remote/local observer ---
  void OnRemoteLocalStateChanged(std::uint32_t state_id) override;

  // --- for the workers (same threads as their callers) ---
  CPhysicalInterface* PhysicalInterface() const { return physical_interface_; }
  CUsbInterfaceClassIoManager* IoManager() const { return io_; }
  CUsb488ClassRequests* Requests() const { return requests_; }
  CUsbTmcBulkManager* Bulk() const { return bulk_; }
  CRemoteLocalStateMachine* RemoteLocal() const { return remote_local_; }
  bool IsTriggerEnabled() const { return trigger_enabled_ != 0; }
  bool IsRemoteLocalEnabled() const { return remote_local_enabled_ != 0; }
  // True once after the engine announced that the next payload starts a new message.
  bool TakeInputBufferReady();
  // The addressed event, then the engine's device clear.
  void AddressedThenDeviceClear();
  void CopyCapabilities(std::uint8_t* out) const;

 private:
  CPhysicalInterface* physical_interface_ = nullptr;
  CUsbInterfaceClassIoManager* io_ = nullptr;
  CUsb488ClassRequests* requests_ = nullptr;
  CUsbTmcBulkManager* bulk_ = nullptr;
  CRemoteLocalStateMachine* remote_local_ = nullptr;
  UsbInterfaceDescription description_{};
  std::uint8_t capabilities_[kUsb488CapabilitySize] = {};
  std::uint8_t trigger_enabled_ = 0;
  std::uint8_t remote_local_enabled_ = 0;
  std::uint8_t input_buffer_ready_ = 0;
};
