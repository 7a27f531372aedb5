#include "platform/board_state.h"

#include <mutex>

namespace platform::board {
namespace {

struct State {
  std::mutex lock;
  RunState state = RunState::kBooting;
  std::function<void(RunState)> listener;
};

State& TheState() {
  static State* s = new State;
  return *s;
}

}  // namespace

void SetRunState(RunState state) {
  std::function<void(RunState)> listener;
  {
    State& s = TheState();
    std::lock_guard<std::mutex> g(s.lock);
    if (s.state == state) return;
    s.state = state;
    listener = s.listener;
  }
  if (listener) listener(state);
}

RunState GetRunState() {
  State& s = TheState();
  std::lock_guard<std::mutex> g(s.lock);
  return s.state;
}

const char* RunStateName(RunState state) {
  switch (state) {
    case RunState::kBooting: return "booting";
    case RunState::kReady: return "ready";
    case RunState::kShuttingDown: return "shutting down";
  }
  return "unknown";
}

void SetRunStateListener(std::function<void(RunState)> listener) {
  State& s = TheState();
  std::lock_guard<std::mutex> g(s.lock);
  s.listener = std::move(listener);
}

}  // namespace platform::board
