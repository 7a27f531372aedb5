// The TCP side of the VXI-11 plug-in as the plug-in start sees it: the link operations of the link
// table, the server options and the start and stop of the instrument-server manager.
#pragma once

#include "vxi11/CInstrumentServerManager.h"
#include "vxi11/CVxi11LinkManager.h"
#include "vxi11/Vxi11Plugin.h"

// Options of the next start (listen address, portmapper port); the link operations are always those
// of the link table. Set before the plug-in starts.
void Vxi11SetServerOptions(const CVxi11ServerOptions& options);

// {start, stop} of the instrument-server manager, for Vxi11ProvidePlugin.
const Vxi11ServerHooks* Vxi11InstrumentServerHooks();
