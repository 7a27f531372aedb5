// The hardware-independent half of a USB device-controller driver.
//
// Keeps every endpoint created for the device (sorted by configuration, interface and alternate
// setting), the service order of the live endpoints (ascending priority: bulk-OUT 1, bulk-IN 2,
// interrupt-IN 3, control 4, so endpoint 0 is serviced last), hooks the controller interrupt to the
// OS USB device and runs the service pass on its "USB Interrupt Handler" thread: endpoint events, then
// suspend, bus reset and resume, reported to the device-event observer (the device manager).
//
// The service order never holds an endpoint twice and never grows past its capacity.
//
// Locking: the service pass holds the service lock from start to end; SuspendInterruptService and
// ResumeInterruptService take it too (unless called from inside the pass), so once
// SuspendInterruptService returns, no pass runs until the service is resumed, also on a multicore
// host. Configuration, interface and endpoint operations are serialised by the device manager.
//
// The boundary to the device core, by direction: the virtual operations below are what a driver
// implements (this base calls them; [service] marks those called only inside a service pass,
// [interrupt] the one called from the interrupt handler); the rest is what the device core calls;
// the events the driver reports back are in UsbControllerEvents.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "engine/COSInterruptHandler.h"
#include "engine/COSUsbDevice.h"
#include "platform/kernel.h"
#include "usb/controller/CUsbControllerEndpoint.h"
#include "usb/controller/UsbControllerEvents.h"
#include "usb/controller/UsbTypes.h"

class CUsbController;

class CPrimaryInterruptResolver : public COSInterruptHandler {
 public:
  explicit CPrimaryInterruptResolver(CUsbController* controller) : controller_(controller) {}
  std::uint32_t Handle() override;

 private:
  CUsbController* controller_;
};

class CSecondaryInterruptResolver : public COSInterruptHandler {
 public:
  explicit CSecondaryInterruptResolver(CUsbController* controller) : controller_(controller) {}
  std::uint32_t Handle() override;

 private:
  CUsbController* controller_;
};

class CUsbInterruptResolverPair {
 public:
  CUsbInterruptResolverPair(COSUsbDevice* device, CUsbController* controller)
      : device_(device), primary_(controller), secondary_(controller) {}
  ~CUsbInterruptResolverPair();
  void Attach(std::uint32_t* status);

 private:
  COSUsbDevice* device_;
  CPrimaryInterruptResolver primary_;
  CSecondaryInterruptResolver secondary_;
  std::uint8_t attached_ = 0;
};

class CUsbController {
 public:
  struct ServiceEntry {
    CUsbControllerEndpoint* endpoint;
    std::uint32_t priority;
  };

  CUsbController(COSUsbDevice* device, CUsbExceptionEventObserver* exception_observer, std::uint32_t capacity,
                 std::uint32_t* status);
  virtual ~CUsbController();
  CUsbController(const CUsbController&) = delete;
  CUsbController& operator=(const CUsbController&) = delete;

  // === what a driver implements =======================================================================
  virtual void SetPowerSource(std::uint32_t) {}
  virtual bool IsIndicatorSupported() { return false; }
  virtual void PulseIndicator(std::uint16_t ms, std::uint32_t* status);
  virtual std::uint32_t GetMaxTransferSize() { return 0xFFFFFFFF; }
  virtual std::uint32_t GetSpeed() = 0;
  virtual void SetAddress(std::uint8_t) {}
  virtual void ResetHardware(std::uint32_t* status) = 0;
  virtual void Connect(std::uint32_t* status) = 0;
  virtual void Disconnect(std::uint32_t* status) = 0;
  virtual void EnableInterrupts(std::uint32_t* status) = 0;
  virtual void DisableInterrupts() = 0;
  // [interrupt] From CheckInterrupt in the primary interrupt handler, before a pass is started.
  virtual bool IsInterruptPending() = 0;
  // [service] At the start of every service pass, under the service lock, however the pass was
  // started (interrupt or a driver's own post).
  virtual void ServicePassStarting() {}
  // [service] Each takes (and clears) one bus event the hardware flagged.
  virtual bool TakeSuspend() = 0;
  virtual bool TakeBusReset() = 0;
  virtual bool TakeResume() = 0;
  virtual void ConfigurationChanged() = 0;
  virtual void ConfigurationCommitted() = 0;
  virtual void EndpointsReset(std::uint32_t* status) = 0;
  virtual CUsbControllerEndpoint* CreateControlEndpoint(CUsbEndpointEventObserver* observer, std::uint32_t* status) = 0;
  virtual CUsbControllerEndpoint* CreateBulkInEndpoint(std::uint8_t configuration, std::uint8_t interface,
                                                       std::uint8_t alternate, CUsbEndpointEventObserver* observer,
                                                       std::uint32_t* status) = 0;
  virtual CUsbControllerEndpoint* CreateBulkOutEndpoint(std::uint8_t configuration, std::uint8_t interface,
                                                        std::uint8_t alternate, CUsbEndpointEventObserver* observer,
                                                        std::uint32_t* status) = 0;
  virtual CUsbControllerEndpoint* CreateInterruptInEndpoint(std::uint8_t configuration, std::uint8_t interface,
                                                            std::uint8_t alternate, CUsbEndpointEventObserver* observer,
                                                            std::uint32_t* status) = 0;
  virtual void DestroyEndpoint(CUsbControllerEndpoint* endpoint) = 0;

  // === what the device core calls ====================================================================

  // --- endpoints -------------------------------------------------------------------------------------
  CUsbControllerEndpoint* AddControlEndpoint(CUsbEndpointEventObserver* observer, std::uint32_t* status);
  CUsbControllerEndpoint* AddEndpoint(std::uint8_t configuration, std::uint8_t interface, std::uint8_t alternate,
                                      std::int32_t kind, CUsbEndpointEventObserver* observer, std::uint32_t* status);
  void RemoveEndpoint(CUsbControllerEndpoint* endpoint);

  // --- queries ---------------------------------------------------------------------------------------
  std::uint8_t GetConfiguration() const { return configuration_; }
  bool HasConfiguration(std::uint8_t value) const;
  bool HasAlternateSetting(std::uint8_t configuration, std::uint8_t interface, std::uint8_t alternate) const;
  // 0xFF when no live endpoint belongs to the interface.
  std::uint8_t GetAlternateSetting(std::uint8_t interface) const;
  bool IsInterfaceActive(std::uint8_t interface) const;
  bool IsEndpointStalled(std::uint8_t address, std::uint32_t* status);
  void StallEndpoint(std::uint8_t address, std::uint32_t* status);
  void ClearEndpointStall(std::uint8_t address, std::uint32_t* status);
  COSUsbDevice* GetOsDevice() const { return device_; }
  std::uint32_t ServiceOrderSize() const { return order_size_; }
  CUsbControllerEndpoint* ServiceOrderAt(std::uint32_t i) const {
    return i < order_size_ ? order_[i].endpoint : nullptr;
  }

  // --- bus and configuration ---------------------------------------------------------------------------
  void Start(CUsbDeviceEventObserver* observer, std::uint32_t* status);
  // Acts whatever the status; the first failure of its steps is the result.
  void Shutdown(std::uint32_t* status);
  void SetConfiguration(std::uint8_t value, std::uint32_t* status);
  void SetInterface(std::uint8_t configuration, std::uint8_t interface, std::uint8_t alternate, std::uint32_t* status);
  // Back to the default state: every live endpoint but endpoint 0 deconfigured, configuration 0.
  void ResetLiveEndpoints(std::uint32_t* status);

  // --- interrupt path ---------------------------------------------------------------------------------
  // Called by the interrupt resolvers: CheckInterrupt from the interrupt, ServiceInterrupt is the
  // service pass on the "USB Interrupt Handler" thread.
  std::uint32_t CheckInterrupt();
  void ServiceInterrupt();
  void SuspendInterruptService();
  void ResumeInterruptService(std::uint32_t* status);
  bool InterruptsEnabled() const { return interrupts_enabled_.load() != 0; }
  // True for the "USB Interrupt Handler" thread inside a service pass.
  bool IsCalledFromService() const;

 protected:
  // Takes the handlers off the OS device (waiting out a running pass); a driver calls it first in
  // its destructor, before it frees what a pass uses.
  void DetachInterruptHookup();

  COSUsbDevice* device_;

 private:
  bool EnterService(CUsbControllerEndpoint* endpoint, std::uint32_t* status);
  void LeaveService(CUsbControllerEndpoint* endpoint);
  bool InOrder(const CUsbControllerEndpoint* endpoint) const;
  CUsbControllerEndpoint* LiveEndpoint(std::uint8_t address) const;
  CUsbControllerEndpoint* InsertEndpoint(CUsbControllerEndpoint* endpoint, std::uint32_t* status);
  static std::uint32_t PriorityOf(std::int32_t kind);

  CUsbInterruptResolverPair* hookup_ = nullptr;
  std::atomic<std::uint8_t> interrupts_enabled_{0};
  std::atomic<std::uint8_t> in_service_{0};
  std::atomic<cyg_handle_t> service_thread_{0};
  cyg_mutex_t service_lock_;
  std::vector<CUsbControllerEndpoint*> endpoints_;
  ServiceEntry* order_ = nullptr;
  std::uint32_t capacity_ = 0;
  std::uint32_t order_size_ = 0;
  CUsbExceptionEventObserver* exception_observer_;
  CUsbDeviceEventObserver* device_observer_ = nullptr;
  std::uint8_t configuration_ = 0;
};
