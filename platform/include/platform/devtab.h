// The device table: named character devices with init, lookup, read, write, select and
// configuration handlers, as the board drivers provide them. Drivers register their entries at board
// set-up (Register), the board initialises them once (InitAll), and the firmware reaches them by name
// through cyg_io_lookup or by opening "/dev/<name>" (see platform/io.h).
//
// Select support: a driver's select handler returns true when the device is ready in the asked
// direction; otherwise it records the caller with cyg_selrecord on one of its cyg_selinfo records and
// returns false, and later wakes every recorded selector with cyg_selwakeup.
#pragma once

#include <cstdint>

#include "platform/kernel.h"

typedef int Cyg_ErrNo;
typedef cyg_handle_t cyg_io_handle_t;

// Select directions.
enum : cyg_uint32 {
  CYG_FREAD = 1,
  CYG_FWRITE = 2,
};

struct cyg_devtab_entry;

struct cyg_devio_table_t {
  Cyg_ErrNo (*write)(cyg_io_handle_t handle, const void* buf, cyg_uint32* len);
  Cyg_ErrNo (*read)(cyg_io_handle_t handle, void* buf, cyg_uint32* len);
  cyg_bool_t (*select)(cyg_io_handle_t handle, cyg_uint32 which, cyg_addrword_t info);
  Cyg_ErrNo (*get_config)(cyg_io_handle_t handle, cyg_uint32 key, void* buf, cyg_uint32* len);
  Cyg_ErrNo (*set_config)(cyg_io_handle_t handle, cyg_uint32 key, const void* buf, cyg_uint32* len);
};

struct cyg_devtab_entry {
  const char* name;  // full name, e.g. "/dev/adc0"
  const cyg_devio_table_t* handlers;
  cyg_bool_t (*init)(cyg_devtab_entry* tab);
  // Called by cyg_io_lookup; 0 accepts the look-up, a negative error number refuses it.
  Cyg_ErrNo (*lookup)(cyg_devtab_entry** tab, cyg_devtab_entry* sub_tab, const char* name);
  void* priv;
  bool initialised;
};

// A handle is the address of its device table entry.
inline cyg_devtab_entry* cyg_io_entry(cyg_io_handle_t handle) { return reinterpret_cast<cyg_devtab_entry*>(handle); }

Cyg_ErrNo cyg_io_lookup(const char* name, cyg_io_handle_t* handle);
Cyg_ErrNo cyg_io_read(cyg_io_handle_t handle, void* buf, cyg_uint32* len);
Cyg_ErrNo cyg_io_write(cyg_io_handle_t handle, const void* buf, cyg_uint32* len);
cyg_bool_t cyg_io_select(cyg_io_handle_t handle, cyg_uint32 which, cyg_addrword_t info);
Cyg_ErrNo cyg_io_get_config(cyg_io_handle_t handle, cyg_uint32 key, void* buf, cyg_uint32* len);
Cyg_ErrNo cyg_io_set_config(cyg_io_handle_t handle, cyg_uint32 key, const void* buf, cyg_uint32* len);

// A driver's record of the selectors waiting on one direction of a device.
struct cyg_selinfo {
  static constexpr int kSlots = 4;
  std::uint64_t waiters[kSlots];  // select waiter ids, 0 for a free slot
  bool collision;                 // more waiters than slots: wake every waiting select
};

void cyg_selinit(cyg_selinfo* sip);
// Records the select call identified by `info` (the value the select handler received).
void cyg_selrecord(cyg_addrword_t info, cyg_selinfo* sip);
// Wakes every select recorded on `sip` and clears the record. Safe from a DSR.
void cyg_selwakeup(cyg_selinfo* sip);

namespace platform::devtab {

// Adds an entry to the table (board set-up). An entry with the same name replaces the earlier one.
void Register(cyg_devtab_entry* entry);
// Removes an entry (tests).
void Unregister(cyg_devtab_entry* entry);
// Calls init of every registered entry not initialised yet; an entry whose init fails stays out of
// look-ups.
void InitAll();
cyg_devtab_entry* Find(const char* name);

}  // namespace platform::devtab
