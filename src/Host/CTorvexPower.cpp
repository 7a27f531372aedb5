// CTorvexPower: boot condition, keep-alive kick and panic (see CTorvexPower.h).
#include "CTorvexPower.h"

#include "CLogger.h"
#include "bootloader_if.h"

namespace Torvex {
namespace {

// The power unit's static initialisation: the boot-loader interface and the watchdog are running
// before main starts.
struct CPowerUnitInit {
  CPowerUnitInit() { bootloader_if_init(); }
};
CPowerUnitInit s_PowerUnitInit;

}  // namespace

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
