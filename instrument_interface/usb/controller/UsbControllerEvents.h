// The boundary between a USB device-controller driver and the device core, events half: what the
// driver calls back. (CUsbController.h holds what a driver implements and what the core calls;
// CUsbControllerEndpoint.h and CUsbEndpoint.h the same for endpoints.)
//
// [service] marks a call made on the "USB Interrupt Handler" thread inside a service pass, with the
// service lock held: the interrupt side of the driver. Such a call must not wait for anything that
// itself waits for the service pass (SuspendInterruptService from inside the pass is allowed).
// [caller] marks a call made on the thread that called into the driver (the device core's own
// thread, or the service pass when the core acted from inside one).
//
// Every operation that takes a status word last does nothing when it is not 0 on entry.
#pragma once

#include <cstdint>

#include "usb/controller/UsbTypes.h"

// Told about an endpoint's traffic (the device manager for endpoint 0, the interface-class I/O manager
// for the others).
class CUsbEndpointEventObserver {
 public:
  // [service] A setup packet arrived on endpoint 0.
  virtual void OnSetup(const UsbSetupPacket& setup, std::uint32_t* status) = 0;
  // [service] A read finished (kUsbResultCompleted); [caller] a read ended by Deconfigure or
  // CancelTransfer (kUsbResultAborted).
  virtual void OnReadComplete(std::int32_t kind, std::uint32_t result, std::uint32_t count, std::uint32_t* status) = 0;
  // [service] A write finished or was overtaken by a setup packet; [caller] a write ended by
  // Deconfigure or CancelTransfer (kUsbResultAborted).
  virtual void OnWriteComplete(std::int32_t kind, std::uint32_t result, std::uint32_t count, std::uint32_t* status) = 0;
  virtual ~CUsbEndpointEventObserver() = default;
};

// Told about the device's state (the device manager).
class CUsbDeviceEventObserver {
 public:
  // [caller] CUsbController::SetConfiguration and SetInterface took effect (the standard request
  // manager calls them from inside a service pass).
  virtual void OnSetConfiguration(std::uint8_t value, std::uint32_t* status) = 0;
  virtual void OnSetInterface(std::uint8_t configuration, std::uint8_t interface, std::uint8_t alternate,
                              std::uint32_t* status) = 0;
  // [service] Bus events, after the endpoint events of the same pass.
  virtual void OnResume(std::uint32_t* status) = 0;
  virtual void OnBusReset(std::uint32_t* status) = 0;
  virtual void OnSuspend(std::uint32_t* status) = 0;
  virtual ~CUsbDeviceEventObserver() = default;
};

class COSUsbDevice;

// Told about a service pass that ended with an error (the USB plug-in manager). [service]
class CUsbExceptionEventObserver {
 public:
  virtual void OnUsbException(COSUsbDevice* device, std::uint32_t status) = 0;
  virtual ~CUsbExceptionEventObserver() = default;
};
