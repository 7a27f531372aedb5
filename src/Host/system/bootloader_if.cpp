// The boot-loader interface (see bootloader_if.h).
#include "system/bootloader_if.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "platform/bootloader.h"
#include "platform/watchdog.h"

namespace Torvex {
namespace {

namespace bl = platform::bootloader;

std::atomic<bl::ServiceEntry> s_Entry{nullptr};

int CallService(std::uint32_t code, std::uintptr_t argument) {
  const bl::ServiceEntry entry = s_Entry.load(std::memory_order_acquire);
  if (entry == nullptr) return 0;
  entry(code, argument);
  return 1;
}

}  // namespace

void bootloader_if_init() {
  bl::Words().magic.store(bl::kApplicationMagic);
  s_Entry.store(bl::Words().entry.load(), std::memory_order_release);
  static std::once_flag s_ExitHook;
  std::call_once(s_ExitHook, [] { std::atexit(&bootloader_exit_hook); });
  platform::watchdog::Reset();
  platform::watchdog::Start();
}

int bootloader_keep_alive() {
  if (s_Entry.load(std::memory_order_acquire) == nullptr) return 0;
  platform::watchdog::Reset();
  return CallService(bl::kServiceKeepAlive, 0);
}

int bootloader_reset() { return CallService(bl::kServiceReset, 0); }

int bootloader_enter_dfu() { return CallService(bl::kServiceFirmwareUpdate, 0); }

int bootloader_query(std::uint32_t* condition) {
  return CallService(bl::kServiceQueryBootCondition, reinterpret_cast<std::uintptr_t>(condition));
}

void bootloader_exit_hook() { bootloader_enter_dfu(); }

}  // namespace Torvex
