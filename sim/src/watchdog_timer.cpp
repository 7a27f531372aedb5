#include "sim/watchdog_timer.h"

#include "platform/bootloader.h"
#include "platform/kernel.h"
#include "platform/watchdog.h"

namespace sim {
namespace {

constexpr std::uint16_t kEnable = 1u << 5;
constexpr std::uint16_t kResetEnable = 1u << 0;

// Maps the timer before the firmware's static initialisers run.
struct MapAtStart {
  MapAtStart() { WatchdogTimer::Instance(); }
};
[[maybe_unused]] MapAtStart g_map_at_start __attribute__((init_priority(200)));

}  // namespace

WatchdogTimer& WatchdogTimer::Instance() {
  static WatchdogTimer* timer = new WatchdogTimer;  // lives until the process ends
  return *timer;
}

WatchdogTimer::WatchdogTimer() {
  platform::regbus::Map(platform::watchdog::kWtcon, 0x0C, this);
  thread_ = std::thread([this] { Run(); });
  thread_.detach();
}

std::uint32_t WatchdogTimer::Read(std::uint32_t address, unsigned) {
  std::lock_guard<std::mutex> g(lock_);
  switch (address) {
    case platform::watchdog::kWtcon: return wtcon_;
    case platform::watchdog::kWtdat: return wtdat_;
    case platform::watchdog::kWtcnt: return wtcnt_;
    default: return 0;
  }
}

void WatchdogTimer::Write(std::uint32_t address, std::uint32_t value, unsigned) {
  std::lock_guard<std::mutex> g(lock_);
  switch (address) {
    case platform::watchdog::kWtcon: wtcon_ = static_cast<std::uint16_t>(value); break;
    case platform::watchdog::kWtdat: wtdat_ = static_cast<std::uint16_t>(value); break;
    case platform::watchdog::kWtcnt: wtcnt_ = static_cast<std::uint16_t>(value); break;
    default: return;
  }
  Arm();
  changed_.notify_all();
}

void WatchdogTimer::Arm() {
  armed_ = (wtcon_ & kEnable) && (wtcon_ & kResetEnable);
  if (!armed_) return;
  // The count's share of the nominal period, in 10 ms ticks, scaled to the tick length in use.
  const double seconds =
      static_cast<double>(platform::watchdog::kPeriodNanoseconds) * 1e-9 * wtcnt_ / platform::watchdog::kReloadCount;
  const double scaled = seconds * platform::kernel::TickMicroseconds() / 10000.0;
  deadline_ = std::chrono::steady_clock::now() + std::chrono::microseconds(static_cast<std::int64_t>(scaled * 1e6));
}

bool WatchdogTimer::Running() {
  std::lock_guard<std::mutex> g(lock_);
  return armed_;
}

std::uint64_t WatchdogTimer::Expiries() {
  std::lock_guard<std::mutex> g(lock_);
  return expiries_;
}

void WatchdogTimer::Run() {
  std::unique_lock<std::mutex> g(lock_);
  for (;;) {
    if (!armed_) {
      changed_.wait(g);
      continue;
    }
    if (changed_.wait_until(g, deadline_) == std::cv_status::timeout && armed_ &&
        std::chrono::steady_clock::now() >= deadline_) {
      armed_ = false;
      wtcnt_ = 0;
      ++expiries_;
      g.unlock();
      platform::bootloader::WatchdogExpired();
      g.lock();
    }
  }
}

}  // namespace sim
