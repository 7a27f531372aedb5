// Driver of the processor's built-in full-speed USB device controller: four fixed endpoints (control
// 0, bulk-IN 0x81, bulk-OUT 0x02, interrupt-IN 0x83), no DMA, every FIFO byte moved by the processor.
//
// The endpoint classes and the register and FIFO helpers are in their own files (CS3C2410*.h).
//
// Halts: the class's Halt (hold flag) on an IN endpoint lasts until the host has seen one STALL; a
// host's SET_FEATURE(ENDPOINT_HALT) (Stall) lasts until ClearStall. ClearStall is refused
// (kUsbStatusEndpointHeld) on a bulk endpoint that the class holds.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/COSUsbDevice.h"
#include "usb/controller/CS3C2410Registers.h"
#include "usb/controller/CUsbController.h"
#include "usb/controller/CUsbControllerEndpoint.h"

class CS3C2410Controller : public CUsbController {
 public:
  static constexpr std::uint32_t kVector = 25;

  CS3C2410Controller(COSUsbDevice* device, CUsbExceptionEventObserver* exception_observer, std::uint32_t* status);
  ~CS3C2410Controller() override;

  std::uint32_t GetSpeed() override { return kUsbSpeedFull; }
  void SetAddress(std::uint8_t address) override;
  void ResetHardware(std::uint32_t* status) override;
  void Connect(std::uint32_t* status) override;
  void Disconnect(std::uint32_t* status) override;
  void EnableInterrupts(std::uint32_t* status) override;
  void DisableInterrupts() override;
  void ServicePassStarting() override;
  bool IsInterruptPending() override { return true; }
  bool TakeSuspend() override;
  bool TakeBusReset() override;
  bool TakeResume() override { return false; }
  void ConfigurationChanged() override {}
  void ConfigurationCommitted() override {}
  void EndpointsReset(std::uint32_t*) override {}
  CUsbControllerEndpoint* CreateControlEndpoint(CUsbEndpointEventObserver* observer, std::uint32_t* status) override;
  CUsbControllerEndpoint* CreateBulkInEndpoint(std::uint8_t configuration, std::uint8_t interface,
                                               std::uint8_t alternate, CUsbEndpointEventObserver* observer,
                                               std::uint32_t* status) override;
  CUsbControllerEndpoint* CreateBulkOutEndpoint(std::uint8_t configuration, std::uint8_t interface,
                                                std::uint8_t alternate, CUsbEndpointEventObserver* observer,
                                                std::uint32_t* status) override;
  CUsbControllerEndpoint* CreateInterruptInEndpoint(std::uint8_t configuration, std::uint8_t interface,
                                                    std::uint8_t alternate, CUsbEndpointEventObserver* observer,
                                                    std::uint32_t* status) override;
  void DestroyEndpoint(CUsbControllerEndpoint* endpoint) override;

  CS3C2410Registers* registers() const { return registers_; }

  // The bus-error handler that construction installs in the C library's signal table: prints the
  // registers saved at the fault on the diagnostic console, then sets the signal to ignore, so that a
  // further bus error prints nothing. Runs on the thread that made the faulty access.
  static void DumpRegisters(int signal);

 private:
  void SetPullup(bool on);
  // Builds an endpoint of the given class and keeps it in *slot; null with the status on a failure.
  template <typename Endpoint, typename... Args>
  CUsbControllerEndpoint* MakeEndpoint(CUsbControllerEndpoint** slot, std::uint32_t* status, Args... args);

  CS3C2410Registers* registers_ = nullptr;
  CUsbControllerEndpoint* control_ = nullptr;
  CUsbControllerEndpoint* bulk_in_ = nullptr;
  CUsbControllerEndpoint* bulk_out_ = nullptr;
  CUsbControllerEndpoint* interrupt_in_ = nullptr;
  // A pass for the soft-pending packets has been posted and has not started yet.
  std::atomic<std::uint8_t> service_posted_{0};
};
