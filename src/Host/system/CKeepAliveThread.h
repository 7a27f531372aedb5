// CKeepAliveThread: the "KeepAlive Thread" (priority 5, 8192-byte stack). Every 3000 ticks (30 s) it
// kicks the watchdog and calls the boot loader's keep-alive service, so the watchdog (about 39 s)
// never runs out while the application threads get to run.
//
// main's static initialisation builds the one instance (created suspended); main starts it first.
// Destroying the object stops the thread at its next wake-up (at once from its delay) and joins it,
// so that a program exit does not wait on a thread that would run forever.
#pragma once

#include <atomic>

#include "core/CThread.h"

namespace Torvex {

class CKeepAliveThread : public CThread {
 public:
  CKeepAliveThread();
  ~CKeepAliveThread() override;

 protected:
  void ThreadMain() override;

 private:
  std::atomic<bool> m_Stop{false};
};

inline constexpr cyg_tick_count_t kKeepAlivePeriodTicks = 3000;

}  // namespace Torvex
