// Tests wait on conditions with deadlines, never on fixed sleeps: WaitFor polls `done` until it holds
// or the (real-time) limit passes, and says which.
#pragma once

#include <chrono>
#include <thread>

namespace torvex_test {

template <typename Done>
bool WaitFor(Done done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

}  // namespace torvex_test
