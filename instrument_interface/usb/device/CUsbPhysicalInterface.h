// The USB implementation of the engine's transport boundary: configures and connects the device when
// the engine enables it, nests the engine's event suspension in the device manager, and forwards every
// other operation to its interface class (the USB488 class).
//
// Called by the engine from an operation on an application thread (engine device's mutex held, events
// suspended) or from inside an entry point that the class called on the "USB Interrupt Handler"
// thread. Every override with a status word sets it to 0 first, so it runs whatever the engine's word
// held; the result is that of this operation alone.
#pragma once

#include <cstdint>

#include "engine/C4882Device.h"
#include "engine/CPhysicalInterface.h"
#include "usb/device/CUsbDeviceManager.h"
#include "usb/device/CUsbInterfaceClass.h"

constexpr std::uint32_t kUsbEngineBufferSize = 4096;

class CUsbPhysicalInterface : public CPhysicalInterface {
 public:
  CUsbPhysicalInterface(CUsbDeviceManager* device_manager, CUsbInterfaceClass* interface_class, COSUsbDevice* os_device,
                        std::uint32_t device_index, std::uint32_t plugin_id, std::uint32_t* status);
  ~CUsbPhysicalInterface() override;

  bool IsEnabled() override { return enabled_ != 0; }
  // settings: the application's DoVovuriUsbSettings.
  void Enable(const void* settings, std::uint32_t* status) override;
  void Disable(std::uint32_t* status) override;
  void ResumeEvents(std::uint32_t* status) override;
  void SuspendEvents(std::uint32_t* status) override;
  void EnableTrigger(std::uint32_t* status) override;
  void DisableTrigger(std::uint32_t* status) override;
  void EnableRemoteLocal(std::uint32_t* status) override;
  void DisableRemoteLocal(std::uint32_t* status) override;
  void InputBufferReady(std::uint32_t* status) override;
  void DeviceClearDone(std::uint32_t* status) override;
  void ReturnToLocal(std::uint32_t* status) override;
  std::uint32_t GetInputBufferSize() override { return kUsbEngineBufferSize; }
  void AttachInputBuffer(CDataBuffer* buffer, std::uint32_t* status) override;
  void Receive(CDataBuffer* buffer, std::uint32_t* status) override;
  void CancelReceive(std::uint32_t* count, bool* end, std::uint32_t* status) override;
  std::uint32_t GetOutputBufferSize() override { return kUsbEngineBufferSize; }
  void AttachOutputBuffer(CDataBuffer* buffer, std::uint32_t* status) override;
  void Send(CDataBuffer* buffer, bool term_char_found, bool end, std::uint32_t* status) override;
  void CancelSend(std::uint32_t* count, std::uint32_t* status) override;
  bool IsReceiveActive() override { return interface_class_->IsReceiveActive(); }
  bool IsSendActive() override { return interface_class_->IsSendActive(); }
  void ClampTransfer(CDataBuffer* buffer) override { interface_class_->ClampTransfer(buffer); }
  bool IsTermCharEnabled() override { return interface_class_->IsTermCharEnabled(); }
  std::uint8_t GetTermChar() override { return interface_class_->GetTermChar(); }
  bool IsConstructed() override { return false; }
  void AssertServiceRequest(std::uint32_t* status) override;
  void WithdrawServiceRequest(std::uint32_t* status) override;
  void ReportStatusByte(std::uint8_t byte, std::uint32_t* status) override;

  CUsbDeviceManager* DeviceManager() const { return device_manager_; }
  CUsbInterfaceClass* InterfaceClass() const { return interface_class_; }
  CUsbInterfaceClassIoManager* InterfaceHandle() const { return handle_; }

 private:
  CUsbDeviceManager* device_manager_;
  CUsbInterfaceClass* interface_class_;
  CUsbInterfaceClassIoManager* handle_ = nullptr;
  std::uint8_t enabled_ = 0;
  // The settings of the last enable: the device layer keeps pointers to their strings.
  DoVovuriUsbSettings settings_{};
};

// The device layer's settings from the application's record: strings 0 to 2 are the manufacturer,
// product and serial number, 3 the configuration and 4 the interface string; bit 6 of the attribute
// byte is the self-powered flag.
UsbDeviceSettings UsbSettingsFromRecord(const DoVovuriUsbSettings& record);
