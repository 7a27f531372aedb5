// The resident boot loader of the board: its two fixed RAM words, its service entry, its item query,
// and the hooks through which the board program carries out what the services ask for.
//
// On the board the boot loader publishes a service entry in a RAM word (0x30000144) and the
// application announces itself by writing a magic into another (0x30000140). Here the two words are a
// small record of this layer; the entry word holds a host function pointer, so it is pointer-wide, and
// so is the argument word of the entry (it carries the address of the boot-condition word).
//
// The entry is published before any static initialiser of the firmware runs (it is constant-
// initialised), as on the board, where the boot loader has run before the application starts.
//
// What the services do is the board's business. The board program installs Hooks:
//  - reset: the board restarts the firmware in a fresh process with the warm boot condition;
//  - firmware_update: the board prints "board: firmware-update mode" and ends with status 3;
//  - power_off: the power line dropped (called by the board's GPIO model, not by a service);
//  the watchdog expiry (WatchdogExpired, called by the board's watchdog timer model) runs `reset`.
// A handler that ends the process must use _exit: exit() runs the firmware's at-exit hook, which asks
// for firmware-update mode. The default hooks do nothing, which is what unit tests want: a service
// call is then only counted (ServiceCalls), and the firmware's caller goes on as if the board ignored
// it. Tests install their own recorders with SetHooks.
//
// Callers: the firmware's boot-loader interface (any thread), the board program and tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>

namespace platform::bootloader {

// Board addresses of the two RAM words (for reference; the words are reached through Words()).
inline constexpr std::uint32_t kMagicWordAddress = 0x30000140;
inline constexpr std::uint32_t kEntryWordAddress = 0x30000144;

// The magic the application writes ("UFD" and a zero byte in memory order).
inline constexpr std::uint32_t kApplicationMagic = 0x00444655;

// Service codes of the entry.
enum ServiceCode : std::uint32_t {
  kServiceKeepAlive = 0,
  kServiceReset = 1,
  kServiceFirmwareUpdate = 2,
  kServiceQueryBootCondition = 3,
};
inline constexpr unsigned kServiceCount = 4;

// Boot conditions the query service reports (any other value is unknown to the firmware).
inline constexpr std::uint32_t kColdBoot = 0;
inline constexpr std::uint32_t kWarmBoot = 2;
inline constexpr std::uint32_t kWarmBootOnFactory = 3;
inline constexpr std::uint32_t kWarmBootIgnoredHardReset = 5;

// The service entry: a service code and an argument word; no result. For code 3 the argument is the
// address of a std::uint32_t that receives the boot condition.
using ServiceEntry = void (*)(std::uint32_t code, std::uintptr_t argument);

struct RamWords {
  std::atomic<std::uint32_t> magic;  // written by the application
  std::atomic<ServiceEntry> entry;   // written by the boot loader; nullptr: no services
};
RamWords& Words();

// The boot loader's own entry (what Words().entry holds unless withdrawn).
void Service(std::uint32_t code, std::uintptr_t argument);

// Makes the boot loader offer no services (entry word 0), or offer them again. For tests.
void WithdrawEntry();
void PublishEntry();

// The boot condition the query service reports (set by the board before the firmware's main runs).
void SetBootCondition(std::uint32_t condition);
std::uint32_t BootCondition();

struct Hooks {
  std::function<void()> reset;
  std::function<void()> firmware_update;
  std::function<void()> power_off;
};
// Replaces the hooks (empty members do nothing). Call before the firmware's threads run, or from a
// test between its cases; the hooks are read under a lock at each call.
void SetHooks(Hooks hooks);
void ResetHooks();

// Number of calls of each service code since the start (or since ClearServiceCalls).
std::uint64_t ServiceCalls(std::uint32_t code);
void ClearServiceCalls();

// Called by the board when the power line drops, and by the watchdog timer model when it expires.
void PowerOff();
void WatchdogExpired();

// --- item query ------------------------------------------------------------------------------------

// Items the boot loader describes. Item 2 is the ROMFS image.
inline constexpr unsigned kItemRomfsImage = 2;

// The answer of the item query: `valid` non-zero when the item exists; `address` is where it lies
// (pointer-wide here).
struct Item {
  std::uint32_t valid;
  std::uint32_t length;
  std::uintptr_t address;
};

// Fills `out` and returns 0; -1 when the boot loader cannot answer for that item.
int QueryItem(unsigned item, Item* out);

// The address the board publishes for the ROMFS image (what the /romfs mount accepts as its device).
std::uintptr_t RomfsImageAddress();

// Overrides the answer for an item: nullopt makes the query fail. RestoreItems returns to the board's
// own answers. For tests.
void SetItem(unsigned item, std::optional<Item> answer);
void RestoreItems();

}  // namespace platform::bootloader
