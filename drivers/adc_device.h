// "/dev/adc0": one read converts channel 0 of the ADC and returns its 10-bit result as an unsigned
// 16-bit value (read length exactly 2). The NMR-path sensing reads it from the topology monitor
// thread; any thread may read or select. Conversions of all ADC devices are serialised.
//
// adc_register_devices is part of drivers_register_devices.
#pragma once

void adc_register_devices();
