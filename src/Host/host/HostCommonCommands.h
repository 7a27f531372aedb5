// What main and the tests need of the common and system commands besides their handlers
// (HostCommandHandlers.h): the help file's layout and look-ups, and the network-restart hook.
#pragma once

#include <cstddef>
#include <string>

namespace Torvex {

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

// SYSTem:COMMunicate:ETHernet:RESTart starts a new pass of the network configuration through this
// hook, which main installs; without one the command queues 200 "Firmware error".
using NetworkRestartHook = void (*)();
void SetNetworkRestartHook(NetworkRestartHook hook);

}  // namespace Torvex
