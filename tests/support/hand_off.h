// The yardstick of the benchmarks that count thread hand-offs: two threads passing a token back and
// forth through a pair of bare std::binary_semaphore, measured in the same run as the figure it is
// compared with. A query that crosses N hand-offs costs at least N of these.
#pragma once

#include <chrono>
#include <cstdio>
#include <semaphore>
#include <thread>

namespace torvex_test {

// Nanoseconds of one hand-off (half a round trip), over `rounds` round trips.
inline double BinarySemaphoreHandOffNs(int rounds) {
  std::binary_semaphore there{0};
  std::binary_semaphore back{0};
  std::thread partner([&] {
    for (int k = 0; k < rounds; ++k) {
      there.acquire();
      back.release();
    }
  });
  const auto start = std::chrono::steady_clock::now();
  for (int k = 0; k < rounds; ++k) {
    there.release();
    back.acquire();
  }
  const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
  partner.join();
  return ns / (2.0 * rounds);
}

// Prints the hand-offs one message crosses, once per program, under `title`.
inline void PrintHandOffs(const char* title, const char* const* hand_offs, int count) {
  static bool printed = false;
  if (printed) return;
  printed = true;
  std::printf("%s: %d hand-offs\n", title, count);
  for (int i = 0; i < count; ++i) std::printf("  %d. %s\n", i + 1, hand_offs[i]);
}

}  // namespace torvex_test
