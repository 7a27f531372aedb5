// The USB device layer: one per USB device, between the controller and the interface classes.
//
// It owns endpoint 0 and routes its setup packets (standard requests to the standard request manager,
// class requests to the enabled interface that owns the addressed interface or endpoint, everything
// else to a stall) and its completions (to the standard request manager's data stage, or to the
// interface that borrowed endpoint 0); it turns the controller's device events into enabling,
// disabling and suspending of the interfaces; it builds the descriptors from the device settings and
// each interface's description; it connects and disconnects the device, and offers a nested
// suspension of the controller's events for the engine's flow control.
//
// Locking: the manager's lock serialises Connect, Configure, RemoveInterface, ResumeEvents, and (when
// not called from inside a service pass) Disconnect, SuspendEvents, PulseIndicator and
// BorrowDefaultEndpoint. The device events, OnSetup and the completion routing run on the
// "USB Interrupt Handler" thread inside a service pass and take no lock. Lock order: this lock, then
// the controller's service lock.
//
// Connecting again after a disconnection (a second enable) replaces the device strings instead of
// adding more, and the suspension depth starts from 0 at every Disconnect.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/COSMutex.h"
#include "usb/controller/CUsbController.h"
#include "usb/device/CUsbDescriptorSet.h"
#include "usb/device/CUsbInterfaceClassIoManager.h"
#include "usb/device/CUsbStandardRequestManager.h"
#include "usb/controller/UsbTypes.h"

// The fields of the application's USB settings that the device layer reads.
struct UsbDeviceSettings {
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::uint16_t device_release = 0;
  std::uint8_t configuration_value = 1;
  std::uint8_t max_power = 0;  // bMaxPower, 2 mA units
  std::uint8_t interface_number = 0;
  std::uint8_t self_powered = 0;
  const char* serial_number = nullptr;
  const char* manufacturer = nullptr;
  const char* product = nullptr;
  const char* configuration_string = nullptr;
  const char* interface_string = nullptr;
  std::uint8_t interface_string_set = 0;
};

// What an interface class asks for: its class codes and string, and its endpoints (kinds in order,
// and per kind the packet size and the intervals for full and high speed).
struct UsbInterfaceDescription {
  std::uint8_t interface_class = 0;
  std::uint8_t subclass = 0;
  std::uint8_t protocol = 0;
  const char* interface_string = nullptr;
  std::uint8_t endpoint_count = 0;
  std::int32_t endpoint_kinds[3] = {};
  std::uint16_t packet_size[kUsbKindCount] = {};
  std::uint8_t interval_full[kUsbKindCount] = {};
  std::uint8_t interval_high[kUsbKindCount] = {};
};

class CUsbDeviceManager : public CUsbDeviceEventObserver, public CUsbEndpointEventObserver {
 public:
  CUsbDeviceManager(CUsbController* controller, std::uint32_t* status);
  ~CUsbDeviceManager() override;
  CUsbDeviceManager(const CUsbDeviceManager&) = delete;
  CUsbDeviceManager& operator=(const CUsbDeviceManager&) = delete;

  void Connect(const UsbDeviceSettings& settings, std::uint32_t* status);
  CUsbInterfaceClassIoManager* Configure(const UsbDeviceSettings& settings, const UsbInterfaceDescription& description,
                                         std::uint32_t* status);
  void RemoveInterface(CUsbInterfaceClassIoManager* io, std::uint32_t* status);
  void Disconnect(std::uint32_t* status);
  void SuspendEvents(std::uint32_t* status);
  void ResumeEvents(std::uint32_t* status);
  CUsbEndpoint* BorrowDefaultEndpoint(CUsbSharedDefaultEndpoint* borrower);
  void ReturnDefaultEndpoint() { borrower_ = nullptr; }
  bool IsIndicatorSupported() { return controller_->IsIndicatorSupported(); }
  void PulseIndicator(std::uint16_t ms, std::uint32_t* status);
  std::uint32_t GetMaxTransferSize() { return controller_->GetMaxTransferSize(); }
  bool IsConnected() const { return connected_ != 0; }
  CUsbController* GetController() const { return controller_; }
  std::uint32_t SuspensionDepth() const { return suspension_; }
  CUsbDescriptorSet* descriptors() const { return descriptors_; }

  // Device events (service pass).
  void OnSetConfiguration(std::uint8_t value, std::uint32_t* status) override;
  void OnSetInterface(std::uint8_t configuration, std::uint8_t interface, std::uint8_t alternate,
                      std::uint32_t* status) override;
  void OnResume(std::uint32_t* status) override;
  void OnBusReset(std::uint32_t* status) override;
  void OnSuspend(std::uint32_t* status) override;
  // Endpoint 0 (service pass).
  void OnSetup(const UsbSetupPacket& setup, std::uint32_t* status) override;
  void OnReadComplete(std::int32_t kind, std::uint32_t result, std::uint32_t count, std::uint32_t* status) override;
  void OnWriteComplete(std::int32_t kind, std::uint32_t result, std::uint32_t count, std::uint32_t* status) override;

 private:
  class Guard;
  void AbortBorrower(std::uint32_t* status);
  void DisableAll(std::uint32_t* status);
  void DestroyInterface(CUsbInterfaceClassIoManager* io);
  void AddDescriptors(const UsbDeviceSettings& settings, const UsbInterfaceDescription& description,
                      CUsbInterfaceClassIoManager* io, std::uint32_t* status);

  CUsbController* controller_;
  CUsbControllerEndpoint* control_ = nullptr;
  CUsbSharedDefaultEndpoint* borrower_ = nullptr;
  COSMutex* lock_ = nullptr;
  CUsbDescriptorSet* descriptors_ = nullptr;
  CUsbStandardRequestManager* requests_ = nullptr;
  std::vector<CUsbInterfaceClassIoManager*> interfaces_;
  std::uint8_t connected_ = 0;
  std::uint32_t suspension_ = 0;
};
