// What the dispatcher, main and the tests need of the common and system commands besides their
// handlers (HostCommandHandlers.h): the help file's layout and look-ups, the refusal of a client's own
// interface switch-off, and the network-restart hook.
#pragma once

#include <cstddef>
#include <string>

#include "scpi/ScpiParsedCommand.h"

namespace Torvex {

class CTorvexHost;

// The help file and its layout: 36 bytes not read, the header list (NUL-ended text), then one
// NUL-ended syntax entry per command number.
inline constexpr const char* kHelpFilePath = "/romfs/help.dat";
inline constexpr std::size_t kHelpHeaderListOffset = 36;
inline constexpr std::size_t kHelpHeaderListSize = 5000;
inline constexpr std::size_t kHelpSyntaxOffset = kHelpHeaderListOffset + kHelpHeaderListSize;
inline constexpr std::size_t kHelpSyntaxEntrySize = 130;

// The help query's lookup: the number of the first command whose pattern matches `text` as a header
// (short or long forms, optional parts, numeric suffixes), kScpiCommandCount when none does. Empties
// the engine's header path first. Parser thread only (the engine's path is its state).
std::size_t FindHelpCommand(const std::string& text);
// The syntax entry of `command` from the help file; false (and what was read) when the file cannot be
// opened or ends early.
bool ReadHelpSyntaxEntry(std::size_t command, std::string& entry);

// True when `command` would switch off the VXI-11 interface it came over (SYSTem:COMMunicate:VXI11 OFF
// from a VXI-11 client): -221 is queued and the command must not run. The dispatcher asks before the
// generic handler writes the node, so the client being served is never torn down under it.
bool RefusesOwnInterfaceSwitchOff(ScpiParsedCommand& command, CTorvexHost& client);

// SYSTem:COMMunicate:ETHernet:RESTart starts a new pass of the network configuration through this
// hook, which main installs; without one the command queues 200 "Firmware error".
using NetworkRestartHook = void (*)();
void SetNetworkRestartHook(NetworkRestartHook hook);

}  // namespace Torvex
