// CTorvexPower: power-down monitor, shut-down hand-over, power actions, boot condition, keep-alive
// kick and panic (see CTorvexPower.h).
#include "system/CTorvexPower.h"

#include <fcntl.h>
#include <sys/select.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <initializer_list>

#include "core/CLogger.h"
#include "drivers/board_lines.h"
#include "drivers/tempsensor.h"
#include "platform/io.h"
#include "platform/kernel.h"
#include "system/bootloader_if.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace Torvex {
namespace {

constexpr const char* kTemperatureAlarmDevice = "/dev/temp-al";
constexpr const char* kButtonDevice = "/dev/on-off_rd";

// Kernel ticks per second (10-ms ticks); select waits in ticks, so a fast tick speeds them up.
constexpr std::uint64_t kTicksPerSecond = 100;
constexpr std::int32_t kLongPushSeconds = 5;

// The hand-over of a shut-down request to main, built before the monitor thread object.
struct ShutdownHandOver {
  ShutdownHandOver() {
    cyg_mutex_init(&mutex);
    cyg_semaphore_init(&semaphore, 0);
  }
  ~ShutdownHandOver() {
    cyg_semaphore_destroy(&semaphore);
    cyg_mutex_destroy(&mutex);
  }
  cyg_mutex_t mutex;
  cyg_sem_t semaphore;
  std::int32_t reason = eShutdownStandard;  // guarded by mutex
  bool keep_saved_settings = false;         // guarded by mutex
};
// The power unit's static initialisation, in this order: the hand-over, the monitor thread object,
// then the boot-loader interface and the watchdog, which are running before main starts.
ShutdownHandOver s_HandOver;
CTorvexPower s_PowerDownMonitor;
struct CPowerUnitInit {
  CPowerUnitInit() { bootloader_if_init(); }
};
CPowerUnitInit s_PowerUnitInit;

void HandOver(std::int32_t reason, bool keep_saved_settings) {
  cyg_mutex_lock(&s_HandOver.mutex);
  s_HandOver.reason = reason;
  if (keep_saved_settings) s_HandOver.keep_saved_settings = true;
  cyg_mutex_unlock(&s_HandOver.mutex);
  cyg_semaphore_post(&s_HandOver.semaphore);
}

timeval SecondsToTimeval(std::int32_t seconds) {
  const std::uint64_t microseconds =
      static_cast<std::uint64_t>(seconds) * kTicksPerSecond * platform::kernel::TickMicroseconds();
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(microseconds / 1000000);
  tv.tv_usec = static_cast<suseconds_t>(microseconds % 1000000);
  return tv;
}

// Waits until one of the descriptors is readable or the time has passed: the select result, with
// `ready` holding the readable ones.
int WaitReadable(std::initializer_list<int> fds, std::int32_t seconds, fd_set& ready) {
  FD_ZERO(&ready);
  int highest = -1;
  for (int fd : fds) {
    if (fd < 0) continue;
    FD_SET(fd, &ready);
    if (fd > highest) highest = fd;
  }
  timeval timeout = SecondsToTimeval(seconds);
  return platform::select(highest + 1, &ready, nullptr, nullptr, &timeout);
}

bool IsReady(int fd, const fd_set& ready) { return fd >= 0 && FD_ISSET(fd, &ready); }

}  // namespace

CTorvexPower::CTorvexPower() : CThread(kPowerDownMonitorThread) {}

void CTorvexPower::ThreadMain() { PowerDownMonitorThreadMain(); }

void CTorvexPower::PowerDownMonitorThreadMain() {
  const int alarm = platform::open(kTemperatureAlarmDevice, O_RDONLY);
  const int button = platform::open(kButtonDevice, O_RDONLY);
  std::int32_t applied_limit = 0;
  std::int16_t temperature = 0;    // the value last read
  bool temperature_known = false;  // nothing is published before the sensor has answered once

  for (;;) {
    const std::int32_t limit = g_node_system_temperature_shutdown_limit->GetInt32Attribute(eAttrValue);
    if (limit != applied_limit) {
      // A limit the sensor cannot reach would never cut the power: it is held to the sensor's range.
      SetTemperatureLimit(static_cast<std::int16_t>(
          std::clamp<std::int32_t>(limit, TEMPSENSOR_MIN_CELSIUS, TEMPSENSOR_MAX_LIMIT_CELSIUS)));
      applied_limit = limit;
    }
    // An interval of 0 or less would make the monitor spin: it counts as one second.
    std::int32_t interval = g_node_system_temperature_update_interval->GetInt32Attribute(eAttrValue);
    if (interval < 1) interval = 1;

    fd_set ready;
    const int result = WaitReadable({alarm, button}, interval, ready);
    if (result < 0) {
      cyg_thread_delay(1);  // a wait that keeps failing must not make the monitor spin
      continue;
    }
    if (result == 0) {
      if (ReadTemperature(&temperature) == 0) temperature_known = true;
      if (temperature_known) {
        g_node_system_temperature_current_value->SetInt32Attribute(eAttrValue, temperature);
        g_Logger.Printf("PowerDownMonitorThreadMain: Current temperature: %d\n", temperature);
      }
      continue;
    }
    if (IsReady(alarm, ready)) {
      g_Logger.Printf("PowerDownMonitorThreadMain: Over-temperature shut-down!!!\n");
      g_Logger.Printf("Switching Power Off...\n");
      board_power_off();
      cyg_thread_suspend(cyg_thread_self());
      continue;
    }
    if (IsReady(button, ready) && board_button_pressed()) {
      g_Logger.Printf("PowerDownMonitorThreadMain: Power-down\n");
      fd_set released;
      const int wait = WaitReadable({button}, kLongPushSeconds, released);
      if (wait == 0 && board_button_pressed()) {
        g_Logger.Printf("PowerDownMonitorThreadMain: Long Push shut-down\n");
        HandOver(eShutdownLongPush, false);
      } else {
        g_Logger.Printf("PowerDownMonitorThreadMain: Standard shut-down\n");
        HandOver(eShutdownStandard, false);
      }
      for (int fd : {button, alarm}) {
        if (fd >= 0) platform::close(fd);
      }
      return;
    }
  }
}

void _StartPowerDownMonitor() {
  g_Logger.Printf("Entering _StartPowerDownMonitor\n");
  s_PowerDownMonitor.Start();
}

std::int32_t CTorvexPower::WaitForShutdownRequest() {
  while (!cyg_semaphore_wait(&s_HandOver.semaphore)) {
  }
  cyg_mutex_lock(&s_HandOver.mutex);
  const std::int32_t reason = s_HandOver.reason;
  cyg_mutex_unlock(&s_HandOver.mutex);
  return reason;
}

void CTorvexPower::RequestShutdown(std::int32_t request) {
  switch (request) {
    case eRequestPowerDown: HandOver(eShutdownStandard, false); return;
    case eRequestReset: HandOver(eShutdownReset, false); return;
    case eRequestFirmwareUpdate: HandOver(eShutdownFirmwareUpdate, false); return;
    default: Panic();
  }
}

void CTorvexPower::RequestRestart() { HandOver(eShutdownReset, false); }

void CTorvexPower::RequestRestartKeepingSettings() { HandOver(eShutdownReset, true); }

bool CTorvexPower::TakeKeepSavedSettings() {
  cyg_mutex_lock(&s_HandOver.mutex);
  const bool keep = s_HandOver.keep_saved_settings;
  s_HandOver.keep_saved_settings = false;
  cyg_mutex_unlock(&s_HandOver.mutex);
  return keep;
}

void CTorvexPower::PowerAction(std::int32_t action) {
  switch (action) {
    case ePowerActionOff:
      g_Logger.Printf("Switching Power Off...\n");
      board_power_off();
      break;
    case ePowerActionReset:
      g_Logger.Printf("Resetting...\n");
      bootloader_reset();
      break;
    case ePowerActionFirmwareUpdate:
      g_Logger.Printf("Entering DFU mode...\n");
      bootloader_enter_dfu();
      break;
    default: Panic(); return;
  }
  cyg_thread_suspend(cyg_thread_self());
}

std::uint32_t CTorvexPower::GetBootCondition() {
  std::uint32_t condition = kBootConditionUnknown;  // never a stale word when the boot loader is silent
  bootloader_query(&condition);
  return condition;
}

void CTorvexPower::KickKeepAlive() { bootloader_keep_alive(); }

void CTorvexPower::Panic() {
  g_Logger.Printf("CTorvexPower::Panic !!!\n");
  g_Logger.Printf("Entering DFU mode...\n");
  bootloader_enter_dfu();
  cyg_thread_suspend(cyg_thread_self());
}

void TorvexPanic() { CTorvexPower::Panic(); }

}  // namespace Torvex
