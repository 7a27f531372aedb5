// What an interface class sees of the USB device: one I/O manager per interface, holding the
// interface's endpoints by kind (0 the shared default endpoint, 1 bulk-IN, 2 bulk-OUT,
// 3 interrupt-IN), forwarding the class's transfer operations to them, passing their setup packets
// and completions on to the class, and enabling, disabling and suspending the class as the device
// manager asks.
//
// CUsbSharedDefaultEndpoint is the class's endpoint 0: a proxy that borrows the device's control
// endpoint from the device manager for one transfer (StartRead/StartWrite until the completion) or
// for the moment of one call (AcknowledgeStatus, Halt, ...).
//
// A forwarding operation for a kind the interface has no endpoint of fails with kStatusNotReported. Not locked:
// the observer operations run on the "USB Interrupt Handler" thread, and the class calls the others
// from there or with the device manager's events suspended.
#pragma once

#include <cstdint>

#include "engine/CDataBuffer.h"
#include "usb/controller/CUsbEndpoint.h"
#include "usb/controller/UsbTypes.h"

class CUsbDeviceManager;

// The class side.
class CUsbInterfaceClassEventObserver {
 public:
  virtual void OnSetup(const UsbSetupPacket& setup, std::uint32_t* status) = 0;
  virtual void OnReadComplete(std::int32_t kind, std::uint32_t result, std::uint32_t count, std::uint32_t* status) = 0;
  virtual void OnWriteComplete(std::int32_t kind, std::uint32_t result, std::uint32_t count, std::uint32_t* status) = 0;
  virtual void OnInterfaceEnabled(std::uint32_t* status) = 0;
  virtual void OnInterfaceDisabled(std::uint32_t* status) = 0;
  virtual void OnSuspend(std::uint32_t* status) = 0;
  virtual ~CUsbInterfaceClassEventObserver() = default;
};

class CUsbSharedDefaultEndpoint : public CUsbEndpoint {
 public:
  CUsbSharedDefaultEndpoint(CUsbDeviceManager* manager, CUsbEndpointEventObserver* observer, std::uint32_t* status)
      : CUsbEndpoint(0, 0, 0, 0, kUsbKindControl, observer, status), manager_(manager) {}

  std::uint16_t GetMaxPacketSize(std::uint32_t) override { return 0; }
  std::uint8_t GetInterval(std::uint32_t) override { return 0; }
  void RegisterReadBuffer(CDataBuffer* buffer) override;
  void StartRead(CDataBuffer* chain, std::uint32_t* status) override;
  void RegisterWriteBuffer(CDataBuffer* buffer) override;
  void StartWrite(CDataBuffer* chain, std::uint32_t* status) override;
  void CancelTransfer(std::uint32_t* count, std::uint32_t* status) override;
  bool IsFifoEmpty() override { return false; }
  void FlushFifo(std::uint32_t*) override {}
  void AcknowledgeStatus(std::uint32_t* status) override;
  void Halt(std::uint32_t* status) override;
  void ReleaseHalt(std::uint32_t* status) override;

  // Called by the device manager.
  void AbortTransfer(std::uint32_t* status);
  void CompleteRead(std::uint32_t result, std::uint32_t count, std::uint32_t* status);
  void CompleteWrite(std::uint32_t result, std::uint32_t count, std::uint32_t* status);
  bool IsBorrowing() const { return borrowed_ != nullptr; }

 private:
  CUsbEndpoint* Borrow();
  void GiveBack();

  CUsbEndpoint* borrowed_ = nullptr;
  CUsbDeviceManager* manager_;
};

class CUsbInterfaceClassIoManager : public CUsbEndpointEventObserver {
 public:
  CUsbInterfaceClassIoManager(CUsbDeviceManager* manager, std::uint8_t configuration, std::uint8_t interface,
                              std::uint8_t alternate, std::uint32_t* status);

  void AttachClass(CUsbInterfaceClassEventObserver* cls, std::uint32_t* status);
  void DetachClass() { class_ = nullptr; }
  bool IsIndicatorSupported();
  void PulseIndicator(std::uint16_t ms, std::uint32_t* status);
  void RegisterReadBuffer(std::int32_t kind, CDataBuffer* buffer, std::uint32_t* status);
  void StartRead(std::int32_t kind, CDataBuffer* chain, std::uint32_t* status);
  void RegisterWriteBuffer(std::int32_t kind, CDataBuffer* buffer, std::uint32_t* status);
  void StartWrite(std::int32_t kind, CDataBuffer* chain, std::uint32_t* status);
  void CancelTransfer(std::int32_t kind, std::uint32_t* count, std::uint32_t* status);
  bool IsFifoEmpty(std::int32_t kind);
  void FlushFifo(std::int32_t kind, std::uint32_t* status);
  void AcknowledgeStatus(std::uint32_t* status);
  void Halt(std::int32_t kind, std::uint32_t* status);
  void ReleaseHalt(std::int32_t kind, std::uint32_t* status);
  void Enable(std::uint32_t* status);
  // Runs whatever the status.
  void Disable(std::uint32_t* status);
  void Suspend(std::uint32_t* status);

  bool IsEnabled() const { return enabled_ != 0; }
  std::uint8_t configuration() const { return configuration_; }
  std::uint8_t interface_number() const { return interface_; }
  std::uint8_t alternate() const { return alternate_; }

  void AddEndpoint(CUsbEndpoint* endpoint, std::uint32_t* status);
  CUsbEndpoint* TakeEndpoint();
  CUsbEndpoint* FirstEndpoint();
  CUsbEndpoint* NextEndpoint();
  CUsbEndpoint* EndpointOfKind(std::int32_t kind) const {
    return kind >= 0 && kind < kUsbKindCount ? endpoints_[kind] : nullptr;
  }
  bool SortsBefore(const CUsbInterfaceClassIoManager& other) const;

  void OnSetup(const UsbSetupPacket& setup, std::uint32_t* status) override;
  void OnReadComplete(std::int32_t kind, std::uint32_t result, std::uint32_t count, std::uint32_t* status) override;
  void OnWriteComplete(std::int32_t kind, std::uint32_t result, std::uint32_t count, std::uint32_t* status) override;

 private:
  CUsbEndpoint* For(std::int32_t kind, std::uint32_t* status);

  CUsbDeviceManager* manager_;
  std::uint8_t configuration_;
  std::uint8_t interface_;
  std::uint8_t alternate_;
  CUsbEndpoint* endpoints_[kUsbKindCount] = {};
  std::uint32_t cursor_ = 0;
  CUsbInterfaceClassEventObserver* class_ = nullptr;
  std::uint8_t enabled_ = 0;
};
