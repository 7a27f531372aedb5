// The board's boot loader: RAM words, services, item query and board hooks (see platform/bootloader.h).
#include "platform/bootloader.h"

#include <array>
#include <map>
#include <mutex>

namespace platform::bootloader {
namespace {

// Constant-initialised: the entry is there before any dynamic initialiser of the firmware runs.
constinit RamWords g_words{0, &Service};
constinit std::atomic<std::uint32_t> g_boot_condition{kColdBoot};
constinit std::array<std::atomic<std::uint64_t>, kServiceCount> g_calls{};

// Stands for the ROMFS image in the board's memory; only its address matters.
constinit const char g_romfs_image[] = "romfs image";

struct HookState {
  std::mutex lock;
  Hooks hooks;
  std::map<unsigned, std::optional<Item>> item_overrides;
};

HookState& State() {
  static HookState* s = new HookState;  // never destroyed: used by at-exit handlers
  return *s;
}

// A handler runs once per thread at a time: a firmware-update handler that ends the process runs the
// at-exit handlers, whose hook asks for firmware-update mode again.
thread_local bool t_in_handler = false;

void RunHook(std::function<void()> Hooks::*member) {
  if (t_in_handler) return;
  std::function<void()> handler;
  {
    HookState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    handler = s.hooks.*member;
  }
  if (!handler) return;
  t_in_handler = true;
  handler();
  t_in_handler = false;
}

}  // namespace

RamWords& Words() { return g_words; }

void Service(std::uint32_t code, std::uintptr_t argument) {
  if (code < kServiceCount) g_calls[code].fetch_add(1);
  switch (code) {
    case kServiceKeepAlive: break;
    case kServiceReset: RunHook(&Hooks::reset); break;
    case kServiceFirmwareUpdate: RunHook(&Hooks::firmware_update); break;
    case kServiceQueryBootCondition:
      if (argument != 0) *reinterpret_cast<std::uint32_t*>(argument) = g_boot_condition.load();
      break;
    default: break;
  }
}

void WithdrawEntry() { g_words.entry.store(nullptr); }
void PublishEntry() { g_words.entry.store(&Service); }

void SetBootCondition(std::uint32_t condition) { g_boot_condition.store(condition); }
std::uint32_t BootCondition() { return g_boot_condition.load(); }

void SetHooks(Hooks hooks) {
  HookState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  s.hooks = std::move(hooks);
}

void ResetHooks() { SetHooks(Hooks{}); }

std::uint64_t ServiceCalls(std::uint32_t code) { return code < kServiceCount ? g_calls[code].load() : 0; }

void ClearServiceCalls() {
  for (auto& c : g_calls) c.store(0);
}

void PowerOff() { RunHook(&Hooks::power_off); }

void WatchdogExpired() { RunHook(&Hooks::reset); }

int QueryItem(unsigned item, Item* out) {
  if (out == nullptr) return -1;
  {
    HookState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.item_overrides.find(item);
    if (it != s.item_overrides.end()) {
      if (!it->second) return -1;
      *out = *it->second;
      return 0;
    }
  }
  if (item != kItemRomfsImage) return -1;
  *out = Item{1, sizeof g_romfs_image, RomfsImageAddress()};
  return 0;
}

std::uintptr_t RomfsImageAddress() { return reinterpret_cast<std::uintptr_t>(&g_romfs_image[0]); }

void SetItem(unsigned item, std::optional<Item> answer) {
  HookState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  s.item_overrides[item] = answer;
}

void RestoreItems() {
  HookState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  s.item_overrides.clear();
}

}  // namespace platform::bootloader
