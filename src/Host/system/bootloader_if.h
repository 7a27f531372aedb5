// The application's side of the resident boot loader: the announcement through the magic RAM word,
// the service entry kept from the entry word, the four service wrappers, the watchdog start and kick,
// and the at-exit hook that ends a program exit in firmware-update mode.
//
// bootloader_if_init runs once from the power unit's static initialiser, before main; the wrappers are
// called by the keep-alive thread, by main and by whichever thread panics or performs a power action.
// The entry is read once at init and only read afterwards; no lock is taken.
#pragma once

#include <cstdint>

namespace Torvex {

// Writes the magic, keeps the entry (none when the word is 0), registers bootloader_exit_hook (once
// per process), kicks and starts the watchdog.
void bootloader_if_init();

// With an entry: kicks the watchdog, calls the keep-alive service and returns 1. Without one: 0, and
// the watchdog is not kicked.
int bootloader_keep_alive();
// Reset, firmware-update and boot-condition services: 1 when the entry was called, 0 without entry.
int bootloader_reset();
int bootloader_enter_dfu();
// Without an entry the word is left as it was.
int bootloader_query(std::uint32_t* condition);

// At program exit: the firmware-update service (when there is an entry).
void bootloader_exit_hook();

}  // namespace Torvex
