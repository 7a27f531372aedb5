// The USB plug-in's factory (plug-in id 2). On the first interface it builds the device stack (the OS
// USB device with its "USB Interrupt Handler" thread, the S3C2410 controller driver and the device
// manager); for every interface it makes a USB488 class and the physical interface on it; it tears
// the stack down with the last interface, and turns controller failures into transport exceptions.
//
// CreateInterface, DestroyInterface and RemoveDevice come from the engine's plug-in registry (its
// mutex held) and change the device table under the manager's lock. OnUsbException comes from the
// controller's service pass on the "USB Interrupt Handler" thread and walks the interface list under
// the same lock. So that a service pass waiting for that lock never holds up a teardown, interfaces
// are taken out of the table under the lock but deleted, and the stack torn down, after it.
#pragma once

#include <cstdint>

#include "engine/COSMutex.h"
#include "engine/COSUsbDeviceManager.h"
#include "engine/CPhysicalInterfaceFactory.h"
#include "engine/CSdkList.h"
#include "usb/controller/UsbControllerEvents.h"

class CUsbDeviceManager;
class CUsbPhysicalInterface;

constexpr std::uint32_t kUsbPluginVersion = 0x01060000;

class CUsbPhysicalInterfaceManager : public CPhysicalInterfaceFactory,
                                     public CUsbExceptionEventObserver,
                                     public COSUsbDeviceManager {
 public:
  explicit CUsbPhysicalInterfaceManager(std::uint32_t* status);
  ~CUsbPhysicalInterfaceManager() override;
  CUsbPhysicalInterfaceManager(const CUsbPhysicalInterfaceManager&) = delete;
  CUsbPhysicalInterfaceManager& operator=(const CUsbPhysicalInterfaceManager&) = delete;

  CPhysicalInterface* CreateInterface(const DoVovuriDeviceDescriptor* descriptor, std::uint32_t context,
                                      std::uint32_t* status) override;
  void DestroyInterface(CPhysicalInterface* physical_interface) override;
  // The same, with the status of the refusal (kStatusNotReported for an interface that is not this plug-in's).
  void DestroyInterface(CPhysicalInterface* physical_interface, std::uint32_t* status);
  void OnUsbException(COSUsbDevice* device, std::uint32_t status) override;
  void RemoveDevice(COSUsbDevice* device) override;

  // For tests: the device stack of device 0 (null while there is none) and its interface count.
  CUsbDeviceManager* DeviceManager();
  std::uint32_t InterfaceCount();
  CUsbPhysicalInterface* InterfaceAt(std::uint32_t index);

 private:
  struct Row {
    CUsbDeviceManager* device_manager = nullptr;
    CSdkList<CUsbPhysicalInterface*> interfaces;
  };

  void CreateDeviceStack(std::uint32_t device_index, std::uint32_t* status);
  CUsbPhysicalInterface* CreateOneInterface(std::uint32_t device_index, const DoVovuriDeviceDescriptor* descriptor,
                                            std::uint32_t* status);
  static void TearDownStack(CUsbDeviceManager* device_manager);
  static void DeleteInterface(CUsbPhysicalInterface* physical_interface);
  bool OwnsDevice(COSUsbDevice* device) const;
  // Takes every interface out of the row and the stack with them (under the lock).
  CSdkList<CUsbPhysicalInterface*> TakeAll(CUsbDeviceManager** stack);

  Row row_;
  COSMutex* lock_ = nullptr;
  CSdkList<CUsbPhysicalInterface*>::Cursor cursor_ = nullptr;
};
