// The IIC controller driver (see i2c_bus.h).
//
// Every step that needs the controller (address, byte) waits for its interrupt on a condition
// variable, at most 2 ticks; the step succeeds when the controller reports it done (the pending bit),
// and, for the address and transmitted bytes, acknowledged.
#include "drivers/i2c_bus.h"

#include <algorithm>

#include "drivers/board_lines.h"
#include "platform/hw_registers.h"
#include "platform/interrupt.h"
#include "platform/regbus.h"

namespace {

using platform::regbus::Read32;
using platform::regbus::Write32;
using namespace hw::iic;

constexpr cyg_vector_t kIicVector = hw::iic::kVector;

constexpr cyg_uint32 STAT_MODE_MT = kStatMode.Make(kModeMasterTransmit);
constexpr cyg_uint32 STAT_MODE_MR = kStatMode.Make(kModeMasterReceive);

constexpr cyg_uint32 kBusWaitTicks = 2;

cyg_mutex_t s_mutex;
cyg_cond_t s_cond;
cyg_interrupt s_interrupt;
cyg_handle_t s_interrupt_handle;
cyg_uint32 s_last_bit_period = I2C_DEFAULT_BIT_PERIOD_NS;

cyg_uint32 iic_isr(cyg_vector_t vector, cyg_addrword_t) {
  cyg_interrupt_mask(vector);
  cyg_interrupt_acknowledge(vector);
  return CYG_ISR_HANDLED | CYG_ISR_CALL_DSR;
}

void iic_dsr(cyg_vector_t, cyg_ucount32, cyg_addrword_t) { cyg_cond_signal(&s_cond); }

void settle() {
  for (int k = 0; k < 9; ++k) (void)Read32(IICADD);
}

void clear_pending() { Write32(IICCON, Read32(IICCON) & ~kConPending); }

bool bus_busy() { return (Read32(IICSTAT) & kStatBusyStart) != 0; }

// Waits for the controller's interrupt (the caller holds s_mutex). True when the controller has
// finished the step: the pending bit decides, so a hand-over that is merely slow on a loaded host
// does not fail a transfer the controller completed.
bool wait_for_controller() {
  cyg_scheduler_lock();
  cyg_interrupt_unmask(kIicVector);
  (void)cyg_cond_timed_wait(&s_cond, cyg_current_time() + kBusWaitTicks);
  cyg_scheduler_unlock();
  return (Read32(IICCON) & kConPending) != 0;
}

// Polls the busy bit for up to 2 ticks.
bool wait_bus_idle() {
  const cyg_tick_count_t deadline = cyg_current_time() + kBusWaitTicks;
  for (;;) {
    if (!bus_busy()) return true;
    if (cyg_current_time() >= deadline) return false;
    platform::kernel::DelayMicroseconds(50);
  }
}

// Output off, master-transmit mode, pending cleared, stop.
void write_stop_sequence() {
  Write32(IICSTAT, STAT_MODE_MT);
  clear_pending();
  Write32(IICSTAT, STAT_MODE_MT);
}

// Clear pending, stop, wait for the bus; once more with the full stop sequence when it stays busy.
void stop_transfer() {
  clear_pending();
  Write32(IICSTAT, (Read32(IICSTAT) & kStatMode.Mask()) | kStatOutputEnable);
  bool idle = wait_bus_idle();
  if (!idle && (bus_busy() || (Read32(IICCON) & kConPending))) {
    write_stop_sequence();
    idle = wait_bus_idle();
  }
  if (idle) Write32(IICSTAT, (Read32(IICSTAT) & kStatMode.Mask()) | kStatOutputEnable);
}

void program_clock(const cyg_i2c_device* dev) {
  if (dev->bit_period == s_last_bit_period || dev->bit_period == 0) return;
  // A bit period above one second gives 0 Hz: taken as the slowest clock, never divided by.
  const cyg_uint32 f = std::max<cyg_uint32>(1000000000u / dev->bit_period, 1);
  const bool slow = f <= 195311;
  const std::uint64_t base = slow ? 97656 : 3125000;
  const std::uint64_t tenths = base * 10 / f;
  std::uint64_t rounded = tenths / 10 + (tenths % 10 >= 5 ? 1 : 0);
  // The divider field holds 0 to 15: a clock faster than the base is clamped to divider 0.
  cyg_uint32 divider = rounded == 0 ? 0 : static_cast<cyg_uint32>(rounded - 1);
  if (divider > 15) divider = 15;
  cyg_uint32 con = Read32(IICCON) & ~(kConDivider.Mask() | kConClockPclk512);
  con |= divider | (slow ? kConClockPclk512 : 0u);
  Write32(IICCON, con);  // the pending bit is written back as read: it stays as it is
  s_last_bit_period = dev->bit_period;
}

void select_segment(const cyg_i2c_device* dev) {
  board_set_line(hw::line::kI2cSegment, (dev->flags & I2C_FLAG_PROBE_SEGMENT) != 0);
}

// Start and address phase. False when the bus could not be freed or the address was not
// acknowledged.
bool start_transfer(const cyg_i2c_device* dev, bool read) {
  if (bus_busy() || (Read32(IICCON) & kConPending)) {
    write_stop_sequence();
    if (!wait_bus_idle()) return false;
    Write32(IICSTAT, STAT_MODE_MT | kStatOutputEnable);
  }
  const cyg_uint32 mode = read ? STAT_MODE_MR : STAT_MODE_MT;
  if (read) Write32(IICCON, Read32(IICCON) | kConAckEnable);
  Write32(IICSTAT, mode);
  Write32(IICDS, static_cast<cyg_uint32>(dev->address << 1) | (read ? 1u : 0u));
  Write32(IICSTAT, mode | kStatOutputEnable);
  settle();
  Write32(IICSTAT, mode | kStatOutputEnable | kStatBusyStart);
  if (!(Read32(IICCON) & kConClockPclk512)) platform::kernel::DelayMicroseconds(200);
  return wait_for_controller() && !(Read32(IICSTAT) & kStatNack);
}

void iic_init(cyg_i2c_bus*) {
  cyg_mutex_init(&s_mutex);
  cyg_cond_init(&s_cond, &s_mutex);
  cyg_interrupt_create(kIicVector, 1, 0, iic_isr, iic_dsr, &s_interrupt_handle, &s_interrupt);
  cyg_interrupt_attach(s_interrupt_handle);
  cyg_interrupt_mask(kIicVector);
  Write32(IICCON, kConClockPclk512 | kConIrqEnable);
  Write32(IICSTAT, 0);
  s_last_bit_period = I2C_DEFAULT_BIT_PERIOD_NS;
}

void lock_driver() {
  while (!cyg_mutex_lock(&s_mutex)) {
  }
}

// Takes the driver, sets the bus up for `dev` and sends the start condition when asked. False, with
// the driver given back, when the start was not acknowledged.
bool begin_transfer(const cyg_i2c_device* dev, bool send_start, bool read) {
  lock_driver();
  program_clock(dev);
  select_segment(dev);
  if (send_start && !start_transfer(dev, read)) {
    cyg_mutex_unlock(&s_mutex);
    return false;
  }
  return true;
}

cyg_uint32 iic_tx(const cyg_i2c_device* dev, cyg_bool_t send_start, const cyg_uint8* buf, cyg_uint32 count,
                  cyg_bool_t send_stop) {
  if (!begin_transfer(dev, send_start, false)) return 0;
  cyg_uint32 sent = 0;
  for (cyg_uint32 k = 0; k < count; ++k) {
    Write32(IICDS, buf[k]);
    settle();
    clear_pending();
    if (!wait_for_controller() || (Read32(IICSTAT) & kStatNack)) break;
    ++sent;
  }
  if (send_stop) stop_transfer();
  cyg_mutex_unlock(&s_mutex);
  return sent;
}

cyg_uint32 iic_rx(const cyg_i2c_device* dev, cyg_bool_t send_start, cyg_uint8* buf, cyg_uint32 count, cyg_bool_t nak,
                  cyg_bool_t send_stop) {
  if (!begin_transfer(dev, send_start, true)) return 0;
  cyg_uint32 received = 0;
  for (cyg_uint32 k = 0; k < count; ++k) {
    const bool ack = !(nak && k + 1 == count);
    const cyg_uint32 con = Read32(IICCON);
    Write32(IICCON, ack ? (con | kConAckEnable) : (con & ~kConAckEnable));
    clear_pending();
    if (!wait_for_controller()) break;
    buf[k] = static_cast<cyg_uint8>(Read32(IICDS));
    ++received;
  }
  if (send_stop) stop_transfer();
  cyg_mutex_unlock(&s_mutex);
  return received;
}

void iic_stop(const cyg_i2c_device*) { stop_transfer(); }

}  // namespace

cyg_i2c_bus board_i2c_bus = {{}, iic_init, iic_tx, iic_rx, iic_stop, nullptr};
