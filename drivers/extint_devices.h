// External-interrupt event devices: "/dev/dsp-int" (EINT0, low level), "/dev/temp-al" (EINT2, low
// level) and "/dev/on-off_rd" (EINT7, both edges).
//
// A device has no read or write: select is its only use. It becomes readable once per interrupt; every
// select that finds it readable consumes one counted interrupt. The interrupt stays masked from its
// ISR until the next select that finds no counted event, which re-arms it (so a level that stays
// active fires again; an edge that came meanwhile is latched and fires at once).
//
// extint_setup_triggers is part of drivers_hardware_init (once, before any device is initialised);
// extint_register_devices is part of drivers_register_devices. Select may be called from any thread;
// ISR and DSR run on the platform's interrupt delivery.
#pragma once

void extint_setup_triggers();
void extint_register_devices();
