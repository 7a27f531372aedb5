// The board's hardware watchdog (S3C2410 watchdog timer), driven through its three registers on the
// register bus. The timer itself is the board's model; when it runs out it calls
// platform::bootloader::WatchdogExpired, which the board treats as a reset.
//
// Start programs the reload value and the count, then enables the timer with its reset output;
// Reset reloads the count. Called by the firmware's boot-loader interface (static initialisation and
// the keep-alive thread).
#pragma once

#include <cstdint>

namespace platform::watchdog {

inline constexpr std::uint32_t kWtcon = 0x53000000;  // control
inline constexpr std::uint32_t kWtdat = 0x53000004;  // reload value
inline constexpr std::uint32_t kWtcnt = 0x53000008;  // count

// Prescaler 255, clock divider 128, timer enabled, reset output enabled, interrupt disabled.
inline constexpr std::uint16_t kControlStart = 0xFF39;
inline constexpr std::uint16_t kReloadCount = 60000;

// The period the platform reports for the count above (39.344 s).
inline constexpr std::uint64_t kPeriodNanoseconds = 39'344'000'000ULL;

// Writes WTDAT and WTCNT (60000), then WTCON (0xFF39). The registers are 16 bits wide and are written
// with word accesses.
void Start();
// Writes WTCNT (60000).
void Reset();
// The time from a kick to the reset, in nanoseconds.
std::uint64_t PeriodNanoseconds();

}  // namespace platform::watchdog
