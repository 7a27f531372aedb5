// The simulated board: builds every hardware model, maps it on the register bus, wires the board's
// lines between them, and offers the control API through which tests (and the board's control
// socket) act on the world: the on/off button, the temperature, the ADC inputs, the EEPROM content
// and I2C faults.
//
// Lines: GPE2 DSP reset (pulled low: the DSP stays in reset until the firmware releases it), GPE3 and
// GPE4 external-bus hand-over to the NAND flash, GPE8 I2C segment select, GPF0 (EINT0) the DSP's
// interrupt to the host, GPF2 (EINT2) the temperature sensor's alarm output, GPF7 (EINT7) the on/off
// button (low while pressed), GPG0 power hold (set up by the boot loader as an output driven high;
// driving it low cuts the power). Every other line floats high.
//
// DSP: the host-port model (sim/dsp.h) runs the DSP program model (sim/dsp_program.h), which measures
// the probe that the peripheral controllers report in their field.
//
// USB: the device controller (sim/usb_device.h) on its register range, its cable to a host that tests
// and the board's control socket drive with sim::UsbHost; the firmware attaches by driving GPE9 high.
//
// I2C: segment 0 holds the identity EEPROM (0x54) and the temperature sensor (0x48); segment 1 is the
// probe connector, where the peripheral controllers answer (nothing plugged until the board's
// description or a test plugs something; AttachProbeDevice replaces a controller address).
//
// The EEPROM content lives in "<root>/eeprom.bin" (256 bytes), written from DefaultEepromImage() when
// missing. The board and the firmware share one register bus and one interrupt controller per
// process: build one Board before the firmware's hardware initialisation, and keep it while the
// firmware runs.
//
// Thread safety: the control API may be called from any thread while the firmware runs.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "sim/adc.h"
#include "sim/dsp.h"
#include "sim/dsp_program.h"
#include "sim/eeprom.h"
#include "sim/gpio.h"
#include "sim/iic_controller.h"
#include "sim/peripheral_controllers.h"
#include "sim/temperature_sensor.h"
#include "sim/usb_device.h"

namespace sim {

class Board {
 public:
  static constexpr unsigned kOnBoardSegment = 0;
  static constexpr unsigned kProbeSegment = 1;
  static constexpr std::uint8_t kEepromAddress = hw::i2c_address::kIdentityEeprom;
  static constexpr std::uint8_t kTemperatureSensorAddress = hw::i2c_address::kTemperatureSensor;
  static constexpr const char* kEepromImageName = "eeprom.bin";
  static constexpr unsigned kNmrSenseChannel = 0;  // ADC channel of the NMR-path sense voltage

  // Builds the board in `root` (created when missing). Throws std::runtime_error with a message
  // naming the file when the EEPROM image cannot be read or written, or has the wrong size; an
  // existing image is never overwritten by the defaults.
  explicit Board(const std::string& root);
  ~Board();

  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  const std::string& Root() const { return root_; }
  std::string EepromImagePath() const;

  // --- control API --------------------------------------------------------------------------------
  void PressButton();
  void ReleaseButton();
  void SetTemperature(double celsius);
  void SetAdcInput(unsigned channel, std::uint16_t code);
  void SetAdcVoltage(unsigned channel, double volts);
  // Writes `bytes` at `offset` into the EEPROM and its image file. False (with `error` set) when the
  // bytes do not fit in the 256-byte EEPROM or the file cannot be written; nothing changes then.
  bool LoadEeprom(std::size_t offset, std::span<const std::uint8_t> bytes, std::string* error = nullptr);
  // I2C faults: the device at `address` on `segment` does not acknowledge its address for `duration`
  // from now, or for its next `attempts` address phases.
  void WithholdAck(unsigned segment, std::uint8_t address, std::chrono::steady_clock::duration duration);
  void WithholdAckAttempts(unsigned segment, std::uint8_t address, unsigned attempts,
                           IicController::Direction direction = IicController::Direction::kAny);
  void ClearI2cFaults();
  // The seam for the probe connector's peripheral controllers (nullptr removes one).
  void AttachProbeDevice(std::uint8_t address, I2cSlave* device);

  // Power: true until the firmware drives GPG0 low; the drop is reported to the boot loader's
  // power-off hook (platform::bootloader::PowerOff), on the firmware's thread.
  bool PowerOn();

  // --- models (tests reach into them to observe) ---------------------------------------------------
  Gpio& gpio() { return gpio_; }
  IicController& iic() { return iic_; }
  Eeprom& eeprom() { return eeprom_; }
  TemperatureSensor& temperature_sensor() { return temperature_sensor_; }
  Adc& adc() { return adc_; }
  Dsp& dsp() { return dsp_; }
  // The program the DSP runs (boot, frames, measurements of the probe in the field, faults).
  DspProgram& dsp_program() { return dsp_program_; }
  // The peripherals on the probe connector (plug, unplug, field, faults).
  PeripheralControllers& peripherals() { return peripherals_; }
  UsbDeviceController& usb() { return usb_; }
  // How often the firmware has attached the device to the bus (rising edges of the pull-up): a host
  // that sees the count change enumerates again.
  std::uint64_t UsbAttachCount();

 private:
  void LoadOrCreateEepromImage();
  bool WriteImageFile(const std::array<std::uint8_t, Eeprom::kSize>& image, std::string* error);
  void OnPowerLine(bool level);

  std::string root_;
  Gpio gpio_;
  IicController iic_;
  Eeprom eeprom_;
  TemperatureSensor temperature_sensor_;
  Adc adc_;
  Dsp dsp_;
  PeripheralControllers peripherals_;  // after the ADC: its observer drives an ADC input
  DspProgram dsp_program_;             // after the DSP and the peripherals it senses
  UsbDeviceController usb_;            // after the GPIO that carries its pull-up

  std::mutex lock_;  // guards the power state, the image file and the attach count
  bool power_on_ = true;
  std::uint64_t usb_attach_count_ = 0;
};

}  // namespace sim
