// CTorvexPower: the instrument's power controller. This unit carries the boot-loader operations of
// the class: the boot condition, the keep-alive kick and the panic (all class-level, without an
// object); its static initialiser starts the boot-loader interface and the watchdog before main runs.
//
// Callers: main (GetBootCondition, Panic), the keep-alive thread (KickKeepAlive), the file-system
// mounting and the start-up settings (TorvexPanic), and any thread that cannot go on (Panic).
#pragma once

#include <cstdint>

#include "CThread.h"

namespace Torvex {

// What GetBootCondition reports when the boot loader does not answer: a value no boot condition has,
// which main logs as "Unknown".
inline constexpr std::uint32_t kBootConditionUnknown = 0xFFFFFFFFu;

class CTorvexPower : public CThread {
 public:
  using CThread::CThread;

  // The boot condition from the boot loader's query service (kBootConditionUnknown without an entry).
  static std::uint32_t GetBootCondition();
  // Kicks the watchdog and calls the boot loader's keep-alive service.
  static void KickKeepAlive();
  // Logs "CTorvexPower::Panic !!!" and "Entering DFU mode...", asks the boot loader for
  // firmware-update mode and suspends the calling thread. Nothing is saved. Returns only if another
  // thread resumes the caller; the caller then gives up what it was doing.
  static void Panic();
};

// The same panic, for the file-system mounting and the start-up settings.
void TorvexPanic();

}  // namespace Torvex
