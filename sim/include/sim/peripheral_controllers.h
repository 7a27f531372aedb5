// The controllers of the peripherals on the probe connector (probes, multiplexers, cameras), as one
// model answering the peripheral link on the 7-bit addresses 0x10 to 0x16 of the probe segment.
//
// Frames: {address byte, 16-bit big-endian length of the whole frame, content, check byte}, XOR 0.
// Status byte: bit 0 ready, bits 1-3 ((s >> 1) & 7) the result of the last request: 0 accepted,
// 4 busy, 1 refused. Requests are routed along the multiplexer port path they carry and must name
// the addressed peripheral's model and serial number. A route selection may end one level below a
// camera with a head number (1 to H) and the camera's model and serial number: that head is then the
// active route. Heads have no controller of their own, so commands addressed to a head are refused.
//
// Paths name where a peripheral is plugged: "1" the connector, "1/3" port 3 of the multiplexer on
// the connector, and so on. Kinds as Plug takes them:
//   probe                a proton probe with physical information and a 3-axis Hall sensor
//   multiplexer[:N]      a multiplexer with N ports (default 4, 1 to 16)
//   camera[:H]           a camera with H heads (default 3, 1 to 8) and its memory block
// Plugging or unplugging anywhere sets the change indicator (cleared when it is read). The NMR-path
// sense voltage (reported through the sense observer as a 10-bit ADC code) follows what is on the
// connector: nothing 1023, multiplexer 800, camera 560, probe 300.
//
// Faults (until cleared): no acknowledge (WithholdAck on the controller), busy for the next N sends,
// never ready, corrupted check bytes on the next N frames read (or on every frame read at the
// fastest bus speed), frames cut short for the next N reads, identification and port records of
// another version.
//
// Thread safety: any thread; the I2C callbacks run under the IIC controller's lock and take this
// model's lock; the sense observer is called without it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/i2c_slave.h"
#include "sim/nmr_signal.h"

namespace sim {

class PeripheralControllers {
 public:
  static constexpr std::uint8_t kFirstAddress = 0x10;
  static constexpr std::uint8_t kAddressCount = 7;
  static constexpr std::uint16_t kSenseNothing = 1023;
  static constexpr std::uint16_t kSenseMultiplexer = 800;
  static constexpr std::uint16_t kSenseCamera = 560;
  static constexpr std::uint16_t kSenseProbe = 300;
  // Hall sensor: raw = kHallOffset + field (T) * kHallCountsPerTesla per axis (clamped to 16 bits), raw
  // temperature at the calibration's reference; the calibration's gain (100 per count) makes the
  // computed axes read in microtesla.
  static constexpr std::uint16_t kHallOffset = 32768;
  static constexpr double kHallCountsPerTesla = 10000.0;
  static constexpr std::uint16_t kHallReferenceTemperature = 2000;
  // The proton probes' physical information.
  static constexpr double kProtonGyroRatio = 42.57747892e6;  // Hz per tesla
  static constexpr double kProbeMinFrequency = 1.5e6;
  static constexpr double kProbeMaxFrequency = 90.0e6;
  static constexpr double kCameraHeadMinFrequency = 2.0e6;  // of head 1; each further head 1 MHz higher
  static constexpr double kCameraHeadMaxFrequency = 20.0e6;
  // The frequency range (Hz) in head `head`'s physical information (heads count from 1).
  static void CameraHeadRange(unsigned head, double* min_frequency, double* max_frequency);

  PeripheralControllers();
  ~PeripheralControllers();
  PeripheralControllers(const PeripheralControllers&) = delete;
  PeripheralControllers& operator=(const PeripheralControllers&) = delete;

  // The I2C device of one of the seven addresses (kFirstAddress + index).
  I2cSlave* Device(unsigned index);

  // Plugs a peripheral of `kind` at `path`: false with `error` when the path has no free place (its
  // parent is not a multiplexer, the port does not exist or is taken, deeper than five levels) or the
  // kind is unknown.
  bool Plug(const std::string& path, const std::string& kind, std::string* error);
  // Unplugs the peripheral at `path` and everything below it: false with `error` when nothing is there.
  bool Unplug(const std::string& path, std::string* error);
  // The magnetic field the Hall sensors measure and the probes resonate in (tesla per axis).
  void SetField(double x, double y, double z);
  // What the DSP's receiver meets: the probe or camera head on the active route (or, with no route,
  // the peripheral on the connector), its gyromagnetic ratio and frequency range, and the field's
  // magnitude. A head resonates in its own range; a camera selected as a whole resonates as its first
  // head; a multiplexer or an empty connector is a broken NMR path.
  NmrWorld NmrSource();
  // One line per plugged peripheral, parents first: "PATH KIND model M serial S ...".
  std::vector<std::string> Describe();

  // The 10-bit sense code for what is on the connector; the observer hears each change.
  std::uint16_t SenseCode();
  void SetSenseObserver(std::function<void(std::uint16_t code)> observer);

  // The controllers' reset line (GPB7, high when released): while it is low no controller answers;
  // pulling it low restarts them (last result, active route and pending answers forgotten).
  void SetResetLine(bool high);

  // Faults.
  void SetBusySends(unsigned sends);
  void SetNeverReady(bool on);
  void SetCorruptFrames(unsigned frames);
  void SetCorruptAtFastestSpeed(bool on);
  void SetShortFrames(unsigned frames);
  void SetRecordVersion(std::uint16_t version);
  void ClearFaults();

  // Observations for tests.
  bool ChangeIndicator();
  std::uint64_t RequestsSeen();

 private:
  struct Node;
  class Port;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
