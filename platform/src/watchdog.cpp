// The watchdog interface over the register bus (see platform/watchdog.h).
#include "platform/watchdog.h"

#include "platform/regbus.h"

namespace platform::watchdog {

void Start() {
  // Count loaded before the timer is enabled, so it never starts from a stale count.
  regbus::Write32(kWtdat, kReloadCount);
  regbus::Write32(kWtcnt, kReloadCount);
  regbus::Write32(kWtcon, kControlStart);
}

void Reset() { regbus::Write32(kWtcnt, kReloadCount); }

std::uint64_t PeriodNanoseconds() { return kPeriodNanoseconds; }

}  // namespace platform::watchdog
