// Start and stop of the USB plug-in: the interface manager (the plug-in's factory), provided to the
// engine through DoVovuriInstallPluginHooks under kPluginIdUsb. The engine registers it with version
// 0x01060000 and calls start and stop from its front operations (serialised by the engine).
#pragma once

#include <cstdint>

#include "engine/CPhysicalInterfaceFactory.h"

class CUsbPhysicalInterfaceManager;

// Makes the interface manager; on failure reports 5 (out of memory) or 8 (it could not be built) and
// keeps it for StopUsbPlugin.
CPhysicalInterfaceFactory* StartUsbPlugin(std::uint32_t* status);
// Deletes the interface manager: interfaces still alive are told (exception 52) and deleted, and the
// device stack is torn down.
void StopUsbPlugin();
// The running plug-in's interface manager, or null.
CUsbPhysicalInterfaceManager* UsbInterfaceManager();

// Installs the plug-in's start and stop with the engine. Call before the application starts it.
void UsbProvidePlugin();
