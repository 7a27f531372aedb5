// The engine front: start and stop of the engine's registries and of the two transport plug-ins, and
// the creation and release of a device's function-call interface.
//
// The front operations are serialised by one mutex of their own; the application calls them from its
// start-up thread and from the threads that switch its SCPI modules. A plug-in is provided by its own
// library, which installs its start and stop with DoVovuriInstallPluginHooks (the engine sits below the
// transports and cannot name them).
#pragma once

#include <cstdint>

#include "engine/CPhysicalInterfaceFactory.h"

class CDoVovuriInterface;
class CEngineDevice;

// ---- front operations (application) ----
int DoVovuriStartEngine();
int DoVovuriStartVxi11Plugin();
void DoVovuriStopVxi11Plugin();
int DoVovuriStartUsbPlugin();
void DoVovuriStopUsbPlugin();
// Stops the interfaces still registered (every event loop, then every engine device with its physical
// interface), then the VXI-11 and USB plug-ins, then the plug-in registry with the device list, then
// the interface registry. Interfaces stopped this way stay with their device objects, which release
// them as usual.
void DoVovuriStopAll();

// ---- plug-in provision (transport libraries, before the application starts a plug-in) ----
struct DoVovuriPluginHooks {
  // Makes the plug-in's objects and returns its factory with status 0; on failure reports 5 (out of
  // memory) or 8 (a part failed) and keeps what it made, for stop to delete.
  CPhysicalInterfaceFactory* (*start)(std::uint32_t* status);
  // Deletes whatever start made (also after a failed start).
  void (*stop)();
};
// hooks null takes a plug-in's provision away. Plug-in ids: kPluginIdVxi11, kPluginIdUsb.
void DoVovuriInstallPluginHooks(std::uint32_t plugin_id, const DoVovuriPluginHooks* hooks);

// ---- function-call interfaces (device objects) ----
// version: the interface version the caller was built for (0x0104xxxx or 0x0105xxxx).
CDoVovuriInterface* CreateFunctionCallInterface(std::uint32_t version, const DoVovuriDeviceDescriptor* descriptor,
                                                std::uint32_t context, std::uint32_t* status);
void ReleaseFunctionCallInterface(CDoVovuriInterface* interface, std::uint32_t* status);

// ---- plug-in registry and engine devices (engine internals, and plug-ins that register directly) ----
void RegisterPlugin(std::uint32_t plugin_id, std::uint32_t version, CPhysicalInterfaceFactory* factory,
                    std::uint32_t* status);
void UnregisterPlugin(std::uint32_t plugin_id);
std::int32_t DoVovuriCreateDevice(const DoVovuriDeviceDescriptor* descriptor, std::uint32_t context,
                                  std::uint32_t* status);
void DoVovuriDestroyDevice(std::int32_t handle, std::uint32_t* status);
CEngineDevice* DoVovuriLookupDevice(std::int32_t handle, std::uint32_t* status);

// For tests: whether the registries are started, and the capacity of the engine device list (0 when
// there is none).
bool DoVovuriEngineStarted();
std::uint32_t DoVovuriDeviceListCapacity();
