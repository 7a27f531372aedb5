#include "engine/DoVovuriEngine.h"

#include <atomic>
#include <new>

#include "engine/CEngineDevice.h"
#include "engine/CEngineDeviceList.h"
#include "engine/CFunctionCallInterface.h"
#include "engine/COSMutex.h"
#include "engine/CPhysicalInterface.h"
#include "engine/CPluginRegistry.h"
#include "engine/DoVovuriStatus.h"

namespace {

// The live function-call interfaces with the version each was asked for; new ones go to the head.
struct InterfaceRegistry {
  struct Node {
    CFunctionCallInterface* interface;
    std::uint32_t version;
    Node* next;
  };
  COSMutex mutex;
  Node* head = nullptr;
};

// One started transport plug-in.
struct PluginState {
  const DoVovuriPluginHooks* hooks = nullptr;
  bool started = false;
  CPhysicalInterfaceFactory* factory = nullptr;
};

// The front handles. Changed only under the front mutex; read by the interfaces' operations, hence
// atomic.
std::atomic<InterfaceRegistry*> g_interfaces{nullptr};
std::atomic<CPluginRegistry*> g_plugins{nullptr};
std::atomic<CEngineDeviceList*> g_devices{nullptr};
PluginState g_vxi11;
PluginState g_usb;
// Interfaces the shut-down took out of the registry while their device objects still hold them: they
// are deleted when those objects release them.
InterfaceRegistry* g_stopped_interfaces = nullptr;

COSMutex& FrontMutex() {
  static COSMutex* mutex = [] {
    COSMutex* made = new COSMutex;
    made->Init();
    return made;
  }();
  return *mutex;
}

class FrontLock {
 public:
  FrontLock() { FrontMutex().Lock(&status_); }
  ~FrontLock() { FrontMutex().Unlock(); }
  FrontLock(const FrontLock&) = delete;
  FrontLock& operator=(const FrontLock&) = delete;

 private:
  std::uint32_t status_ = kStatusNotReported;
};

PluginState& Plugin(std::uint32_t plugin_id) { return plugin_id == kPluginIdVxi11 ? g_vxi11 : g_usb; }

// ---- components (status: 0, 5 out of memory, 8 already started or a part failed) ----

void StartInterfaceRegistry(std::uint32_t* status) {
  if (g_interfaces.load() != nullptr) {
    *status = kOsStatusNotStarted;
    return;
  }
  InterfaceRegistry* registry = new (std::nothrow) InterfaceRegistry;
  if (registry == nullptr) {
    *status = kOsStatusNoMemory;
    return;
  }
  registry->mutex.Init();
  if (registry->mutex.IsFailed()) {
    delete registry;
    *status = kOsStatusNoMemory;
    return;
  }
  g_interfaces.store(registry);
  *status = kStatusSuccess;
}

void StopInterfaceRegistry() {
  InterfaceRegistry* registry = g_interfaces.exchange(nullptr);
  if (registry == nullptr) return;
  // Interfaces still registered were shut down by StopInterfaces; they move to the stopped list,
  // where their device objects find them at release.
  if (g_stopped_interfaces == nullptr) {
    g_stopped_interfaces = new (std::nothrow) InterfaceRegistry;
    if (g_stopped_interfaces != nullptr) g_stopped_interfaces->mutex.Init();
  }
  while (registry->head != nullptr) {
    InterfaceRegistry::Node* node = registry->head;
    registry->head = node->next;
    if (g_stopped_interfaces != nullptr) {
      node->next = g_stopped_interfaces->head;
      g_stopped_interfaces->head = node;
    } else {
      delete node->interface;
      delete node;
    }
  }
  registry->mutex.Destroy();
  delete registry;
}

// Every registered interface: first all event loops stop (no application event runs any more), then
// every engine device goes with its physical interface, while the plug-ins that made them still exist.
void StopInterfaces() {
  InterfaceRegistry* registry = g_interfaces.load();
  if (registry == nullptr) return;
  for (InterfaceRegistry::Node* node = registry->head; node != nullptr; node = node->next) {
    node->interface->StopEventLoop();
  }
  for (InterfaceRegistry::Node* node = registry->head; node != nullptr; node = node->next) {
    node->interface->DestroyDevice();
  }
}

void StartPluginRegistry(std::uint32_t* status) {
  *status = kOsStatusNoMemory;
  if (g_plugins.load() != nullptr || g_devices.load() != nullptr) {
    *status = kOsStatusNotStarted;
    return;
  }
  CPluginRegistry* plugins = new (std::nothrow) CPluginRegistry;
  if (plugins == nullptr) return;
  if (plugins->IsFailed()) {
    delete plugins;
    *status = kOsStatusNotStarted;
    return;
  }
  CEngineDeviceList* devices = new (std::nothrow) CEngineDeviceList;
  if (devices == nullptr || devices->IsFailed()) {
    *status = devices == nullptr ? kOsStatusNoMemory : kOsStatusNotStarted;
    delete devices;
    delete plugins;
    return;
  }
  g_plugins.store(plugins);
  g_devices.store(devices);
  *status = kStatusSuccess;
}

void StopPluginRegistry() {
  delete g_plugins.exchange(nullptr);
  delete g_devices.exchange(nullptr);
}

void StartPlugin(std::uint32_t plugin_id, std::uint32_t* status) {
  PluginState& plugin = Plugin(plugin_id);
  if (plugin.started || plugin.hooks == nullptr) {
    *status = kOsStatusNotStarted;
    return;
  }
  std::uint32_t start_status = kStatusNotReported;
  CPhysicalInterfaceFactory* factory = plugin.hooks->start(&start_status);
  if (start_status != kStatusSuccess || factory == nullptr) {
    // Only this plug-in's own partial objects go.
    plugin.hooks->stop();
    *status = start_status == kOsStatusNoMemory ? kOsStatusNoMemory : kOsStatusNotStarted;
    return;
  }
  std::uint32_t register_status = kStatusNotReported;
  CPluginRegistry* plugins = g_plugins.load();
  if (plugins != nullptr) plugins->RegisterPlugin(plugin_id, kComponentVersion, factory, &register_status);
  if (register_status != kStatusSuccess) {
    plugin.hooks->stop();
    *status = kOsStatusNotStarted;
    return;
  }
  plugin.started = true;
  plugin.factory = factory;
  *status = kStatusSuccess;
}

void StopPlugin(std::uint32_t plugin_id) {
  PluginState& plugin = Plugin(plugin_id);
  if (!plugin.started) return;
  if (CPluginRegistry* plugins = g_plugins.load()) plugins->UnregisterPlugin(plugin_id);
  plugin.hooks->stop();
  plugin.started = false;
  plugin.factory = nullptr;
}

void StopAllLocked() {
  StopInterfaces();
  StopPlugin(kPluginIdVxi11);
  StopPlugin(kPluginIdUsb);
  StopPluginRegistry();
  StopInterfaceRegistry();
}

int StartPluginFront(std::uint32_t plugin_id) {
  FrontLock lock;
  std::uint32_t status = kStatusNotReported;
  StartPlugin(plugin_id, &status);
  return status == kStatusSuccess ? 0 : -1;
}

}  // namespace

int DoVovuriStartEngine() {
  FrontLock lock;
  StopAllLocked();
  std::uint32_t status = kStatusNotReported;
  StartInterfaceRegistry(&status);
  if (status == kStatusSuccess) {
    status = kStatusNotReported;
    StartPluginRegistry(&status);
  }
  if (status != kStatusSuccess) {
    StopAllLocked();
    return -1;
  }
  return 0;
}

int DoVovuriStartVxi11Plugin() { return StartPluginFront(kPluginIdVxi11); }

int DoVovuriStartUsbPlugin() { return StartPluginFront(kPluginIdUsb); }

void DoVovuriStopVxi11Plugin() {
  FrontLock lock;
  StopPlugin(kPluginIdVxi11);
}

void DoVovuriStopUsbPlugin() {
  FrontLock lock;
  StopPlugin(kPluginIdUsb);
}

void DoVovuriStopAll() {
  FrontLock lock;
  StopAllLocked();
}

void DoVovuriInstallPluginHooks(std::uint32_t plugin_id, const DoVovuriPluginHooks* hooks) {
  FrontLock lock;
  if (plugin_id != kPluginIdVxi11 && plugin_id != kPluginIdUsb) return;
  PluginState& plugin = Plugin(plugin_id);
  if (plugin.started) return;  // a running plug-in keeps the hooks it was started with
  plugin.hooks = hooks;
}

CDoVovuriInterface* CreateFunctionCallInterface(std::uint32_t version, const DoVovuriDeviceDescriptor* descriptor,
                                                std::uint32_t context, std::uint32_t* status) {
  if ((version >> 8) != 0x10500 && (version >> 8) != 0x10400) {
    *status = kStatusEngineIncompatible;
    return nullptr;
  }
  if (descriptor == nullptr) {
    *status = kStatusNullPointer;
    return nullptr;
  }
  FrontLock lock;
  InterfaceRegistry* registry = g_interfaces.load();
  if (registry == nullptr) {
    *status = kStatusNotReported;
    return nullptr;
  }
  CFunctionCallInterface* interface = new (std::nothrow) CFunctionCallInterface(descriptor, context);
  if (interface == nullptr) {
    *status = kStatusOutOfMemory;
    return nullptr;
  }
  std::uint32_t valid_status = kStatusNotReported;
  if (interface->IsValid(&valid_status) == 0) {
    delete interface;
    *status = valid_status;
    return nullptr;
  }
  InterfaceRegistry::Node* node = new (std::nothrow) InterfaceRegistry::Node{interface, version, nullptr};
  if (node == nullptr) {
    delete interface;
    *status = kStatusOutOfMemory;
    return nullptr;
  }
  std::uint32_t lock_status = kStatusNotReported;
  registry->mutex.Lock(&lock_status);
  node->next = registry->head;
  registry->head = node;
  registry->mutex.Unlock();
  *status = kStatusSuccess;
  return interface;
}

namespace {

// Unlinks the interface from the registry; false when it is not there.
bool Unlink(InterfaceRegistry* registry, CDoVovuriInterface* interface) {
  bool found = false;
  std::uint32_t lock_status = kStatusNotReported;
  registry->mutex.Lock(&lock_status);
  for (InterfaceRegistry::Node** link = &registry->head; *link != nullptr; link = &(*link)->next) {
    if ((*link)->interface == interface) {
      InterfaceRegistry::Node* gone = *link;
      *link = gone->next;
      delete gone;
      found = true;
      break;
    }
  }
  registry->mutex.Unlock();
  return found;
}

}  // namespace

void ReleaseFunctionCallInterface(CDoVovuriInterface* interface, std::uint32_t* status) {
  if (interface == nullptr) {
    *status = kStatusNullPointer;
    return;
  }
  FrontLock lock;
  InterfaceRegistry* registry = g_interfaces.load();
  const bool registered = registry != nullptr && Unlink(registry, interface);
  const bool stopped = !registered && g_stopped_interfaces != nullptr && Unlink(g_stopped_interfaces, interface);
  if (!registered && !stopped) {
    *status = registry == nullptr ? kStatusNotReported : kStatusDeviceNotFound;
    return;
  }
  delete interface;
  *status = kStatusSuccess;
}

void RegisterPlugin(std::uint32_t plugin_id, std::uint32_t version, CPhysicalInterfaceFactory* factory,
                    std::uint32_t* status) {
  CPluginRegistry* plugins = g_plugins.load();
  if (plugins == nullptr) {
    *status = kStatusNotReported;
    return;
  }
  plugins->RegisterPlugin(plugin_id, version, factory, status);
}

void UnregisterPlugin(std::uint32_t plugin_id) {
  if (CPluginRegistry* plugins = g_plugins.load()) plugins->UnregisterPlugin(plugin_id);
}

std::int32_t DoVovuriCreateDevice(const DoVovuriDeviceDescriptor* descriptor, std::uint32_t context,
                                  std::uint32_t* status) {
  CPluginRegistry* plugins = g_plugins.load();
  CEngineDeviceList* devices = g_devices.load();
  if (plugins == nullptr || devices == nullptr) {
    *status = kStatusNotReported;
    return -1;
  }
  CPhysicalInterface* physical_interface = plugins->CreateInterface(descriptor, context, status);
  if (physical_interface == nullptr) return -1;
  const std::int32_t handle = devices->Add(physical_interface, status);
  if (handle == -1) {
    std::uint32_t destroy_status = kStatusNotReported;
    plugins->DestroyInterface(physical_interface, &destroy_status);
  }
  return handle;
}

void DoVovuriDestroyDevice(std::int32_t handle, std::uint32_t* status) {
  CPluginRegistry* plugins = g_plugins.load();
  CEngineDeviceList* devices = g_devices.load();
  if (plugins == nullptr || devices == nullptr) {
    *status = kStatusNotReported;
    return;
  }
  CEngineDevice* device = devices->Lookup(handle, status);
  if (device == nullptr) return;
  CPhysicalInterface* physical_interface = device->PhysicalInterface();
  if (physical_interface != nullptr && physical_interface->IsEnabled()) {
    std::uint32_t disable_status = kStatusNotReported;
    device->Disable(&disable_status);
  }
  // Null when the engine forgot an interface that its plug-in took back (device removed, plug-in
  // shut down): that one is not the engine's to destroy.
  physical_interface = device->PhysicalInterface();
  delete devices->Remove(handle, status);
  if (physical_interface != nullptr) plugins->DestroyInterface(physical_interface, status);
}

CEngineDevice* DoVovuriLookupDevice(std::int32_t handle, std::uint32_t* status) {
  CEngineDeviceList* devices = g_devices.load();
  if (devices == nullptr) {
    *status = kStatusNotReported;
    return nullptr;
  }
  return devices->Lookup(handle, status);
}

bool DoVovuriEngineStarted() { return g_interfaces.load() != nullptr && g_plugins.load() != nullptr; }

std::uint32_t DoVovuriDeviceListCapacity() {
  CEngineDeviceList* devices = g_devices.load();
  return devices != nullptr ? devices->Capacity() : 0;
}
