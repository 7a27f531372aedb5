#include "usb/UsbPlugin.h"

#include <atomic>
#include <new>

#include "engine/DoVovuriEngine.h"
#include "engine/DoVovuriStatus.h"
#include "usb/CUsbPhysicalInterfaceManager.h"

namespace {

std::atomic<CUsbPhysicalInterfaceManager*> g_manager{nullptr};

}  // namespace

CPhysicalInterfaceFactory* StartUsbPlugin(std::uint32_t* status) {
  std::uint32_t s = kStatusSuccess;
  auto* manager = new (std::nothrow) CUsbPhysicalInterfaceManager(&s);
  if (manager == nullptr) {
    *status = kOsStatusNoMemory;
    return nullptr;
  }
  g_manager.store(manager);
  if (s != kStatusSuccess) {
    *status = kOsStatusNotStarted;
    return nullptr;
  }
  *status = kStatusSuccess;
  return manager;
}

void StopUsbPlugin() { delete g_manager.exchange(nullptr); }

CUsbPhysicalInterfaceManager* UsbInterfaceManager() { return g_manager.load(); }

void UsbProvidePlugin() {
  static const DoVovuriPluginHooks kHooks{&StartUsbPlugin, &StopUsbPlugin};
  DoVovuriInstallPluginHooks(kPluginIdUsb, &kHooks);
}
