// Start and stop of the VXI-11 plug-in: the interface manager (the plug-in's factory), the link table
// and the instrument-server manager (the TCP side), provided to the engine through
// DoVovuriInstallPluginHooks under kPluginIdVxi11.
#pragma once

#include <cstdint>

#include "engine/CPhysicalInterfaceFactory.h"

// The TCP side of the plug-in: start makes the instrument-server manager (listener, portmapper
// registration) and returns it, null with a non-zero status when it cannot run; stop deletes it.
struct Vxi11ServerHooks {
  void* (*start)(std::uint32_t* status);
  void (*stop)(void* server);
};

// Makes the interface manager, the link table and the server; on failure reports 5 (out of memory) or
// 8 (a part failed) and keeps what it made, for StopVxi11Plugin.
CPhysicalInterfaceFactory* StartVxi11Plugin(std::uint32_t* status);
// Stops the server first (no connection runs any more), then the link table and the interface manager.
void StopVxi11Plugin();
// A listener that ended on its own: every interface is told (exception 53).
void NotifyVxi11ListenerEnded(std::uint32_t code);

// Installs the plug-in's start and stop with the engine; `server` (may be null: no TCP side, for tests)
// is what StartVxi11Plugin starts. Call before the application starts the plug-in.
void Vxi11ProvidePlugin(const Vxi11ServerHooks* server);
