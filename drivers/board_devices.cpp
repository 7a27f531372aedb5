// Board set-up of the drivers (see board_devices.h).
#include "drivers/board_devices.h"

#include "drivers/acq_pipes.h"
#include "drivers/adc_device.h"
#include "drivers/board_registers.h"
#include "drivers/extint_devices.h"
#include "drivers/i2c_bus.h"
#include "platform/regbus.h"

namespace {

using platform::regbus::Read32;
using platform::regbus::Write32;
using namespace board_regs;

enum : cyg_uint32 { kFnOutput = 1, kFnExternalInterrupt = 2 };

cyg_uint32 with_function(cyg_uint32 con, unsigned pin, cyg_uint32 function) {
  return (con & ~(3u << (2 * pin))) | (function << (2 * pin));
}

bool s_hardware_done = false;
bool s_devices_done = false;

}  // namespace

void drivers_hardware_init() {
  if (s_hardware_done) return;
  s_hardware_done = true;

  // Port E outputs, low before they are driven: the DSP stays in reset, the host port owns the bus,
  // the on-board I2C segment is selected.
  const cyg_uint32 outputs[] = {kDspResetLine, kBusHandoverLine3, kBusHandoverLine4, kI2cSegmentLine};
  cyg_uint32 dat = Read32(GPEDAT);
  for (cyg_uint32 line : outputs) dat &= ~(1u << line);
  Write32(GPEDAT, dat);
  cyg_uint32 con = Read32(GPECON);
  for (cyg_uint32 line : outputs) con = with_function(con, line, kFnOutput);
  Write32(GPECON, con);

  // Triggers first, then the pins' interrupt function: no spurious event from a default trigger.
  extint_setup_triggers();
  con = Read32(GPFCON);
  for (unsigned pin : {0u, 2u, 7u}) con = with_function(con, pin, kFnExternalInterrupt);
  Write32(GPFCON, con);

  cyg_i2c_bus_init(&board_i2c_bus);
}

void drivers_register_devices() {
  if (s_devices_done) return;
  s_devices_done = true;
  extint_register_devices();
  adc_register_devices();
  acq_pipes_register_devices();
}
