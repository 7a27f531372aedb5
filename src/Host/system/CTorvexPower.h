// CTorvexPower: the instrument's power controller.
//
// Its thread, the "Power Down Monitor Thread" (one static instance, started by main through
// _StartPowerDownMonitor), keeps the temperature sensor's alarm limit equal to
// system/temperature/shutdown_limit, publishes the temperature in system/temperature/current_value
// every system/temperature/update_interval seconds, cuts the power at once on the sensor's
// over-temperature alarm, and turns a push of the on/off button into a shut-down request for main
// (standard, or a long push of 5 seconds that discards the saved settings). Other threads ask main to
// power down, reset or enter firmware-update mode through the same hand-over: the latest reason wins,
// main reads it once. The class also carries the final power actions, the boot-loader operations (boot
// condition, keep-alive kick) and the panic; all of these are class-level, without an object; its
// static initialiser starts the boot-loader interface and the watchdog before main runs.
//
// Callers: main (GetBootCondition, WaitForShutdownRequest, PowerAction, Panic), the keep-alive thread
// (KickKeepAlive), the acquisition thread and the SCPI parser thread (RequestShutdown), the settings
// recall on the parser thread (RequestRestart, RequestRestartKeepingSettings), the shut-down save on
// main (TakeKeepSavedSettings), the file-system mounting and the start-up settings (TorvexPanic), and
// any thread that cannot go on (Panic).
#pragma once

#include <cstdint>

#include "core/CThread.h"

namespace Torvex {

// What GetBootCondition reports when the boot loader does not answer: a value no boot condition has,
// which main logs as "Unknown".
inline constexpr std::uint32_t kBootConditionUnknown = 0xFFFFFFFFu;

// Why main shuts down (returned by WaitForShutdownRequest).
enum eShutdownReason : std::int32_t {
  eShutdownStandard = 0,        // standard power-down
  eShutdownLongPush = 1,        // long push of the on/off button: the saved settings are discarded
  eShutdownReset = 2,           // reset
  eShutdownFirmwareUpdate = 3,  // firmware-update mode
};

// What RequestShutdown asks for.
enum eShutdownRequest : std::int32_t {
  eRequestPowerDown = 0,       // reason 0
  eRequestReset = 1,           // reason 2
  eRequestFirmwareUpdate = 2,  // reason 3
};

// The final action of the shut-down (PowerAction).
enum ePowerAction : std::int32_t {
  ePowerActionOff = 0,
  ePowerActionReset = 1,
  ePowerActionFirmwareUpdate = 2,
};

class CTorvexPower : public CThread {
 public:
  // A power-down monitor thread (created suspended; Start runs it).
  CTorvexPower();
  using CThread::CThread;

  // Blocks until a shut-down is requested and returns the reason (eShutdownReason).
  static std::int32_t WaitForShutdownRequest();
  // Hands a request (eShutdownRequest) over to main and returns at once; any other value panics in
  // the calling thread.
  static void RequestShutdown(std::int32_t request);
  // Hands a reset over to main.
  static void RequestRestart();
  // Hands a reset over to main after a start-up settings file has been put in place for it: the
  // shut-down then keeps that file instead of saving the running tree over it.
  static void RequestRestartKeepingSettings();
  // True once after RequestRestartKeepingSettings (the flag is cleared by reading it).
  static bool TakeKeepSavedSettings();
  // Performs the final action (ePowerAction) and suspends the calling thread; any other value panics.
  // Returns only if another thread resumes the caller.
  static void PowerAction(std::int32_t action);

  // The boot condition from the boot loader's query service (kBootConditionUnknown without an entry).
  static std::uint32_t GetBootCondition();
  // Kicks the watchdog and calls the boot loader's keep-alive service.
  static void KickKeepAlive();
  // Logs "CTorvexPower::Panic !!!" and "Entering DFU mode...", asks the boot loader for
  // firmware-update mode and suspends the calling thread. Nothing is saved. Returns only if another
  // thread resumes the caller; the caller then gives up what it was doing.
  static void Panic();

 protected:
  void ThreadMain() override;

 private:
  void PowerDownMonitorThreadMain();
};

// Logs "Entering _StartPowerDownMonitor", starts the monitor thread and returns once it runs.
void _StartPowerDownMonitor();

// The same panic, for the file-system mounting and the start-up settings.
void TorvexPanic();

}  // namespace Torvex
