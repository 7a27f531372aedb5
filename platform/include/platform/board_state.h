// The board's run-state indicator: the firmware announces when it has come up (main waits for a
// shut-down request) and when it shuts down; the board program shows the state ("torvex board state")
// and prints "board: ready" on standard error when the firmware is up.
#pragma once

#include <functional>

namespace platform::board {

enum class RunState { kBooting, kReady, kShuttingDown };

void SetRunState(RunState state);
RunState GetRunState();
const char* RunStateName(RunState state);  // "booting", "ready", "shutting down"

// Called (on the announcing thread) at every change; one listener, set by the board program.
void SetRunStateListener(std::function<void(RunState)> listener);

}  // namespace platform::board
