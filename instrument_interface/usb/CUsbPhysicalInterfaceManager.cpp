#include "usb/CUsbPhysicalInterfaceManager.h"

#include <new>

#include "engine/DoVovuriStatus.h"
#include "usb/controller/CS3C2410Controller.h"
#include "usb/usbtmc/CUsb488Class.h"
#include "usb/device/CUsbDeviceManager.h"
#include "usb/device/CUsbPhysicalInterface.h"

namespace {

// Codes of the OS device's creation.
constexpr std::uint32_t kOsDeviceNotFound = 1;
constexpr std::uint32_t kOsDeviceInUse = 2;
constexpr std::uint32_t kOsDeviceNoResources = 4;

// Controller failures that are hardware faults.
constexpr std::uint32_t kHardwareFirst = 0x54300;
constexpr std::uint32_t kHardwareLast = 0x54305;

class ScopedLock {
 public:
  explicit ScopedLock(COSMutex* lock) : lock_(lock) {
    std::uint32_t s = kStatusNotReported;
    held_ = lock_ != nullptr && lock_->Lock(&s);
  }
  ~ScopedLock() {
    if (held_) lock_->Unlock();
  }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;
  bool held() const { return held_; }

 private:
  COSMutex* lock_;
  bool held_ = false;
};

}  // namespace

CUsbPhysicalInterfaceManager::CUsbPhysicalInterfaceManager(std::uint32_t* status) {
  row_.interfaces.Init();
  if (*status != kStatusSuccess) return;
  if (COSUsbDeviceManager::IsFailed()) {
    *status = kStatusNotReported;
    return;
  }
  lock_ = new (std::nothrow) COSMutex;
  if (lock_ == nullptr) {
    *status = kStatusOutOfMemory;
    return;
  }
  lock_->Init();
  if (lock_->IsFailed()) {
    delete lock_;
    lock_ = nullptr;
    *status = kStatusOutOfMemory;
  }
}

CUsbPhysicalInterfaceManager::~CUsbPhysicalInterfaceManager() {
  CUsbDeviceManager* stack = nullptr;
  CSdkList<CUsbPhysicalInterface*> taken;
  {
    ScopedLock lock(lock_);
    taken = TakeAll(&stack);
  }
  CUsbPhysicalInterface* p = nullptr;
  while (taken.PopFront(&p)) {
    p->NotifyExceptionOutsideEvents(kExceptionPluginShutDown);
    DeleteInterface(p);
  }
  if (stack != nullptr) TearDownStack(stack);
  if (lock_ != nullptr) {
    lock_->Destroy();
    delete lock_;
  }
}

CSdkList<CUsbPhysicalInterface*> CUsbPhysicalInterfaceManager::TakeAll(CUsbDeviceManager** stack) {
  CSdkList<CUsbPhysicalInterface*> taken;
  taken.Init();
  CUsbPhysicalInterface* p = nullptr;
  while (row_.interfaces.PopFront(&p)) {
    if (!taken.PushBack(p)) {
      // No node for the hand-over: this one is finished here (its exception still comes first).
      p->NotifyExceptionOutsideEvents(kExceptionPluginShutDown);
      DeleteInterface(p);
    }
  }
  cursor_ = nullptr;
  *stack = row_.device_manager;
  row_.device_manager = nullptr;
  return taken;
}

CUsbDeviceManager* CUsbPhysicalInterfaceManager::DeviceManager() {
  ScopedLock lock(lock_);
  return row_.device_manager;
}

std::uint32_t CUsbPhysicalInterfaceManager::InterfaceCount() {
  ScopedLock lock(lock_);
  std::uint32_t n = 0;
  CSdkList<CUsbPhysicalInterface*>::Cursor c;
  row_.interfaces.Begin(&c);
  CUsbPhysicalInterface* p = nullptr;
  while (row_.interfaces.Next(&c, &p)) ++n;
  return n;
}

CUsbPhysicalInterface* CUsbPhysicalInterfaceManager::InterfaceAt(std::uint32_t index) {
  ScopedLock lock(lock_);
  CSdkList<CUsbPhysicalInterface*>::Cursor c;
  row_.interfaces.Begin(&c);
  CUsbPhysicalInterface* p = nullptr;
  for (std::uint32_t i = 0; row_.interfaces.Next(&c, &p); ++i) {
    if (i == index) return p;
  }
  return nullptr;
}

void CUsbPhysicalInterfaceManager::CreateDeviceStack(std::uint32_t device_index, std::uint32_t* status) {
  std::uint32_t os_status = kStatusSuccess;
  COSUsbDevice* os_device = CreateDevice(static_cast<std::int32_t>(device_index), &os_status);
  if (os_device == nullptr || os_status != kStatusSuccess) {
    if (os_status == kOsDeviceNotFound) {
      *status = DOVOVURI_STATUS_HARDWARE_NOT_FOUND;
    } else if (os_status == kOsDeviceInUse) {
      *status = DOVOVURI_STATUS_HARDWARE_ALREADY_IN_USE;
    } else if (os_status == kOsDeviceNoResources) {
      *status = DOVOVURI_STATUS_OUT_OF_RESOURCES;
    } else {
      *status = DOVOVURI_STATUS_HARDWARE_ERROR;
    }
    delete os_device;
    return;
  }
  std::uint32_t s = kStatusSuccess;
  auto* controller = new (std::nothrow) CS3C2410Controller(os_device, this, &s);
  if (controller == nullptr) {
    delete os_device;
    *status = kStatusOutOfMemory;
    return;
  }
  if (s != kStatusSuccess) {
    delete controller;
    delete os_device;
    *status = s;
    return;
  }
  auto* device_manager = new (std::nothrow) CUsbDeviceManager(controller, &s);
  if (device_manager == nullptr || s != kStatusSuccess) {
    delete device_manager;
    delete controller;
    delete os_device;
    *status = device_manager == nullptr ? kStatusOutOfMemory : s;
    return;
  }
  row_.device_manager = device_manager;
  *status = kStatusSuccess;
}

void CUsbPhysicalInterfaceManager::TearDownStack(CUsbDeviceManager* device_manager) {
  if (device_manager == nullptr) return;
  CUsbController* controller = device_manager->GetController();
  COSUsbDevice* os_device = controller != nullptr ? controller->GetOsDevice() : nullptr;
  delete device_manager;
  delete controller;
  delete os_device;
}

void CUsbPhysicalInterfaceManager::DeleteInterface(CUsbPhysicalInterface* physical_interface) {
  if (physical_interface == nullptr) return;
  CUsbInterfaceClass* cls = physical_interface->InterfaceClass();
  delete physical_interface;
  delete cls;
}

CUsbPhysicalInterface* CUsbPhysicalInterfaceManager::CreateOneInterface(std::uint32_t device_index,
                                                                        const DoVovuriDeviceDescriptor* descriptor,
                                                                        std::uint32_t* status) {
  CUsbDeviceManager* device_manager = row_.device_manager;
  std::uint32_t s = kStatusSuccess;
  auto* cls = new (std::nothrow) CUsb488Class(device_manager->GetMaxTransferSize(), &s);
  if (cls == nullptr || s != kStatusSuccess) {
    delete cls;
    *status = kStatusOutOfMemory;
    return nullptr;
  }
  COSUsbDevice* os_device = device_manager->GetController()->GetOsDevice();
  auto* pi =
      new (std::nothrow) CUsbPhysicalInterface(device_manager, cls, os_device, device_index, descriptor->plugin_id, &s);
  if (pi == nullptr || s != kStatusSuccess) {
    delete pi;
    delete cls;
    *status = pi == nullptr ? kStatusOutOfMemory : s;
    return nullptr;
  }
  *status = kStatusSuccess;
  return pi;
}

CPhysicalInterface* CUsbPhysicalInterfaceManager::CreateInterface(const DoVovuriDeviceDescriptor* descriptor,
                                                                  std::uint32_t context, std::uint32_t* status) {
  if (descriptor == nullptr || descriptor->plugin_id != kPluginIdUsb) {
    *status = kStatusNotReported;
    return nullptr;
  }
  if (context != 0) {
    *status = DOVOVURI_STATUS_HARDWARE_NOT_FOUND;
    return nullptr;
  }
  if ((descriptor->interface_version >> 16) != (kDeviceInterfaceVersion >> 16)) {
    *status = DOVOVURI_STATUS_PLUGIN_INCOMPATIBILITY;
    return nullptr;
  }
  CUsbDeviceManager* failed_stack = nullptr;
  CUsbPhysicalInterface* pi = nullptr;
  {
    ScopedLock lock(lock_);
    if (!lock.held()) {
      *status = kStatusNotReported;
      return nullptr;
    }
    const bool made_stack = row_.device_manager == nullptr;
    if (made_stack) {
      CreateDeviceStack(context, status);
      if (*status != kStatusSuccess) return nullptr;
    }
    pi = CreateOneInterface(context, descriptor, status);
    if (pi != nullptr && !row_.interfaces.PushBack(pi)) {
      *status = kStatusOutOfMemory;
      DeleteInterface(pi);
      pi = nullptr;
    }
    if (pi == nullptr && row_.interfaces.IsEmpty()) {
      // A failing first interface leaves the table as it was.
      failed_stack = row_.device_manager;
      row_.device_manager = nullptr;
    }
  }
  TearDownStack(failed_stack);
  return pi;
}

void CUsbPhysicalInterfaceManager::DestroyInterface(CPhysicalInterface* physical_interface) {
  std::uint32_t ignored = kStatusNotReported;
  DestroyInterface(physical_interface, &ignored);
}

void CUsbPhysicalInterfaceManager::DestroyInterface(CPhysicalInterface* physical_interface, std::uint32_t* status) {
  CUsbPhysicalInterface* pi = nullptr;
  CUsbDeviceManager* stack = nullptr;
  {
    ScopedLock lock(lock_);
    if (!lock.held() || physical_interface == nullptr) {
      *status = kStatusNotReported;
      return;
    }
    // Found in the list before anything of it is read: a pointer that is not (or no longer) one of
    // ours is refused without being touched.
    CSdkList<CUsbPhysicalInterface*>::Cursor c;
    row_.interfaces.Begin(&c);
    CUsbPhysicalInterface* p = nullptr;
    while (row_.interfaces.Next(&c, &p)) {
      if (static_cast<CPhysicalInterface*>(p) == physical_interface) {
        pi = p;
        break;
      }
    }
    if (pi == nullptr || pi->DeviceIndex() != 0 || pi->PluginId() != kPluginIdUsb) {
      *status = kStatusNotReported;
      return;
    }
    row_.interfaces.Remove(pi);
    if (row_.interfaces.IsEmpty()) {
      stack = row_.device_manager;
      row_.device_manager = nullptr;
    }
    cursor_ = nullptr;
  }
  DeleteInterface(pi);
  TearDownStack(stack);
  *status = kStatusSuccess;
}

bool CUsbPhysicalInterfaceManager::OwnsDevice(COSUsbDevice* device) const {
  return row_.device_manager != nullptr && row_.device_manager->GetController() != nullptr &&
         row_.device_manager->GetController()->GetOsDevice() == device;
}

void CUsbPhysicalInterfaceManager::OnUsbException(COSUsbDevice* device, std::uint32_t status) {
  const std::uint32_t code =
      status >= kHardwareFirst && status <= kHardwareLast ? kExceptionTransferFailed : kExceptionTransportFailed;
  // The list is walked under the lock, so no interface is taken out and deleted meanwhile.
  ScopedLock lock(lock_);
  if (!lock.held() || !OwnsDevice(device)) return;
  row_.interfaces.Begin(&cursor_);
  CUsbPhysicalInterface* p = nullptr;
  while (row_.interfaces.Next(&cursor_, &p)) p->NotifyException(code);
  cursor_ = nullptr;
}

void CUsbPhysicalInterfaceManager::RemoveDevice(COSUsbDevice* device) {
  CUsbDeviceManager* stack = nullptr;
  CSdkList<CUsbPhysicalInterface*> taken;
  taken.Init();
  {
    ScopedLock lock(lock_);  // goes on also when the lock fails
    if (!OwnsDevice(device)) return;
    taken = TakeAll(&stack);
  }
  CUsbPhysicalInterface* p = nullptr;
  while (taken.PopFront(&p)) {
    if (p->IsEnabled()) {
      std::uint32_t ignored = kStatusNotReported;
      p->Disable(&ignored);
    }
    p->NotifyExceptionOutsideEvents(kExceptionDeviceRemoved);
    DeleteInterface(p);
  }
  TearDownStack(stack);
}
