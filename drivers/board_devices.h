// Board set-up of the drivers. The board start-up calls, once each and in this order, on one thread
// before the firmware's threads run:
//
//   drivers_hardware_init();       // pin functions, external-interrupt triggers, the I2C bus
//   drivers_register_devices();    // device table entries of every board device
//   platform::devtab::InitAll();   // (the platform) initialises the registered devices
//
// drivers_hardware_init configures the port lines the drivers use (GPE2 DSP reset, held low; GPE3 and
// GPE4 bus hand-over and GPE8 I2C segment select, low; GPF0, GPF2 and GPF7 as external-interrupt
// inputs), installs the host-port driver's bus hand-over as the NAND layer's bus hooks
// (platform/nand.h), sets up the external-interrupt triggers, and initialises `board_i2c_bus`.
// drivers_register_devices registers "/dev/dsp-int", "/dev/temp-al", "/dev/on-off_rd", "/dev/adc0",
// "/dev/pipeHostAcqMsg" and "/dev/pipeHostAcqAbort". Both do their work only on their first call.
#pragma once

void drivers_hardware_init();
void drivers_register_devices();
