// Board set-up of the drivers (see board_devices.h).
#include "drivers/board_devices.h"

#include "drivers/acq_pipes.h"
#include "drivers/adc_device.h"
#include "drivers/dsp_hpi.h"
#include "drivers/extint_devices.h"
#include "drivers/i2c_bus.h"
#include "platform/hw_registers.h"
#include "platform/nand.h"
#include "platform/regbus.h"

namespace {

using platform::regbus::Read32;
using platform::regbus::Write32;
using namespace hw::gpio;

bool s_hardware_done = false;
bool s_devices_done = false;

}  // namespace

void drivers_hardware_init() {
  if (s_hardware_done) return;
  s_hardware_done = true;

  // Port E outputs, low before they are driven: the DSP stays in reset, the host port owns the bus,
  // the on-board I2C segment is selected.
  const hw::Line outputs[] = {hw::line::kDspReset, hw::line::kBusHandover3, hw::line::kBusHandover4,
                              hw::line::kI2cSegment};
  cyg_uint32 dat = Read32(GPEDAT);
  for (const hw::Line& line : outputs) dat &= ~line.Mask();
  Write32(GPEDAT, dat);
  cyg_uint32 con = Read32(GPECON);
  for (const hw::Line& line : outputs) con = PinFunction(line.pin).Set(con, kFunctionOutput);
  Write32(GPECON, con);
  // From now on every flash access hands the external bus over to the NAND and back.
  platform::nand::SetBusHooks(dsp_hpi_bus_acquire, dsp_hpi_bus_release);

  // Triggers first, then the pins' interrupt function: no spurious event from a default trigger.
  extint_setup_triggers();
  con = Read32(GPFCON);
  for (const hw::Line& line : {hw::line::kDspInterrupt, hw::line::kTemperatureAlarm, hw::line::kOnOffButton}) {
    con = PinFunction(line.pin).Set(con, kFunctionExternalInterrupt);
  }
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
