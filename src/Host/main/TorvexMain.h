// The firmware's main unit: the objects built before main runs and the start-up and shut-down
// sequence. The board program calls Torvex::main on the process's main thread; it never returns
// while the board runs (it ends in a power action, or in a panic).
#pragma once

#include <cstdint>

namespace Torvex {

class CKeepAliveThread;
class CScpiStatus;

int main();

// The log text of a boot condition ("Cold boot", ..., "Unknown").
const char* BootConditionText(std::uint32_t condition);

extern CKeepAliveThread g_KeepAliveThread;

}  // namespace Torvex
