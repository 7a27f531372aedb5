// The external-interrupt event devices (see extint_devices.h).
#include "drivers/extint_devices.h"

#include <cerrno>
#include <iterator>

#include "platform/devtab.h"
#include "platform/hw_registers.h"
#include "platform/interrupt.h"
#include "platform/regbus.h"

namespace {

using platform::regbus::Read32;
using platform::regbus::Write32;
using namespace hw::gpio;
using hw::intc::SRCPND;

constexpr cyg_uint8 kNoSubSource = 0xFF;
constexpr unsigned kVectors = 6;  // EINT0, EINT1, EINT2, EINT3, EINT4-7, EINT8-23
constexpr int kRingSize = 16;

struct extint_device {
  cyg_vector_t vector;
  cyg_uint8 sub_source;  // bit in EINTMASK/EINTPEND, or kNoSubSource
  cyg_uint8 edge;        // non-zero: edge-triggered (the trigger code)
  cyg_mutex_t mutex;
  cyg_handle_t interrupt_handle;
  cyg_interrupt interrupt;
  cyg_selinfo selinfo;
  bool armed;
  cyg_int32 events;
};

struct event_ring {
  extint_device* entries[kRingSize];
  int count;
  int read;
  int write;
};

extint_device s_dsp_int = {0, kNoSubSource, 0, {}, 0, {}, {}, false, 0};
extint_device s_temp_al = {2, kNoSubSource, 0, {}, 0, {}, {}, false, 0};
extint_device s_on_off = {4, 7, 6, {}, 0, {}, {}, false, 0};

// The devices on each vector, null-terminated.
extint_device* const kVector0[] = {&s_dsp_int, nullptr};
extint_device* const kVector2[] = {&s_temp_al, nullptr};
extint_device* const kVector4[] = {&s_on_off, nullptr};
extint_device* const kNone[] = {nullptr};
extint_device* const* const kVectorDevices[kVectors] = {kVector0, kNone, kVector2, kNone, kVector4, kNone};
static_assert(std::size(kVectorDevices) == kVectors);

event_ring s_rings[kVectors] = {};

cyg_uint32 extint_isr(cyg_vector_t vector, cyg_addrword_t) {
  cyg_interrupt_mask(vector);
  for (extint_device* const* d = kVectorDevices[vector]; *d != nullptr; ++d) {
    extint_device* dev = *d;
    if (dev->sub_source != kNoSubSource) {
      const cyg_uint32 bit = 1u << dev->sub_source;
      if (!(Read32(EINTPEND) & bit)) continue;
      Write32(EINTMASK, Read32(EINTMASK) | bit);
      Write32(EINTPEND, bit);
    }
    ++dev->events;
    cyg_interrupt_disable();
    event_ring& ring = s_rings[vector];
    if (ring.count < kRingSize) {
      ring.entries[ring.write] = dev;
      ring.write = (ring.write + 1) % kRingSize;
      ++ring.count;
    }
    cyg_interrupt_enable();
  }
  cyg_interrupt_acknowledge(vector);
  return CYG_ISR_HANDLED | CYG_ISR_CALL_DSR;
}

void extint_dsr(cyg_vector_t vector, cyg_ucount32, cyg_addrword_t) {
  event_ring& ring = s_rings[vector];
  for (;;) {
    cyg_interrupt_disable();
    if (ring.count == 0) {
      cyg_interrupt_enable();
      break;
    }
    extint_device* dev = ring.entries[ring.read];
    ring.read = (ring.read + 1) % kRingSize;
    --ring.count;
    const bool wake = dev->armed;
    dev->armed = false;
    cyg_interrupt_enable();
    if (wake) cyg_selwakeup(&dev->selinfo);
  }
}

extint_device* device_of(cyg_devtab_entry* tab) { return static_cast<extint_device*>(tab->priv); }

cyg_bool_t extint_init(cyg_devtab_entry* tab) {
  extint_device* dev = device_of(tab);
  cyg_mutex_init(&dev->mutex);
  cyg_selinit(&dev->selinfo);
  dev->armed = false;
  dev->events = 0;
  if (kVectorDevices[dev->vector][0] == dev) {
    cyg_interrupt_create(dev->vector, 1, 0, extint_isr, extint_dsr, &dev->interrupt_handle, &dev->interrupt);
    cyg_interrupt_attach(dev->interrupt_handle);
    cyg_interrupt_mask(dev->vector);
    cyg_interrupt_acknowledge(dev->vector);
  }
  return true;
}

Cyg_ErrNo extint_lookup(cyg_devtab_entry** tab, cyg_devtab_entry*, const char*) {
  extint_device* dev = device_of(*tab);
  if (dev->vector >= kVectors) return -EINVAL;
  for (extint_device* const* d = kVectorDevices[dev->vector]; *d != nullptr; ++d) {
    if (*d == dev) return 0;
  }
  return -EINVAL;
}

cyg_bool_t extint_select(cyg_io_handle_t handle, cyg_uint32, cyg_addrword_t info) {
  extint_device* dev = device_of(cyg_io_entry(handle));
  while (!cyg_mutex_lock(&dev->mutex)) {
  }
  cyg_scheduler_lock();
  cyg_interrupt_disable();
  if (dev->events > 0) {
    --dev->events;
    cyg_interrupt_enable();
    cyg_scheduler_unlock();
    cyg_mutex_unlock(&dev->mutex);
    return true;
  }
  cyg_selrecord(info, &dev->selinfo);
  dev->armed = true;
  // Re-arm: a level source is examined afresh, a latched edge fires as soon as it is unmasked.
  if (!dev->edge) {
    if (dev->sub_source == kNoSubSource) {
      Write32(SRCPND, 1u << dev->vector);
    } else {
      Write32(EINTPEND, 1u << dev->sub_source);
    }
  }
  if (dev->sub_source != kNoSubSource) Write32(EINTMASK, Read32(EINTMASK) & ~(1u << dev->sub_source));
  cyg_interrupt_unmask(dev->vector);
  cyg_interrupt_enable();
  cyg_scheduler_unlock();
  cyg_mutex_unlock(&dev->mutex);
  return false;
}

const cyg_devio_table_t kExtintHandlers = {nullptr, nullptr, extint_select, nullptr, nullptr};

cyg_devtab_entry s_entries[] = {
    {"/dev/dsp-int", &kExtintHandlers, extint_init, extint_lookup, &s_dsp_int, false},
    {"/dev/temp-al", &kExtintHandlers, extint_init, extint_lookup, &s_temp_al, false},
    {"/dev/on-off_rd", &kExtintHandlers, extint_init, extint_lookup, &s_on_off, false},
};
static_assert(std::size(s_entries) == 3, "one entry per event device");

}  // namespace

void extint_setup_triggers() {
  cyg_uint32 extint = Read32(EXTINT0);
  extint = Trigger(0).Set(extint, kTriggerLowLevel);
  extint = Trigger(1).Set(extint, kTriggerRisingEdge);
  extint = Trigger(2).Set(extint, kTriggerLowLevel);
  extint = Trigger(7).Set(extint, kTriggerBothEdges);
  Write32(EXTINT0, extint);
  constexpr cyg_uint32 kButton = hw::Bit(hw::line::kOnOffButton.pin);  // EINT7
  Write32(EINTMASK, Read32(EINTMASK) | kButton);
  Write32(EINTPEND, kButton);
}

void extint_register_devices() {
  for (cyg_devtab_entry& e : s_entries) platform::devtab::Register(&e);
}
