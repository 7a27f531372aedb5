// CTorvex3AxisHallSensor: the part of a probe with a three-axis Hall sensor: its calibration and the
// computation of field values from raw readings.
//
// The calibration is read once, while the probe is initialised; ComputeField runs on the parser
// thread (the SCPI Hall queries). The arithmetic saturates: a value beyond the 32-bit range gives the
// nearest end, NaN gives 0, and the sum of squares is formed in 64 bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Torvex {

class CTorvex3AxisHallSensor {
 public:
  static constexpr std::size_t kCalibrationRecordSize = 48;
  static constexpr std::size_t kRawReadingSize = 8;

  CTorvex3AxisHallSensor() = default;
  virtual ~CTorvex3AxisHallSensor() = default;

  // The device's raw reading: 0 or 48.
  virtual int ReadHallSensor(std::uint16_t* x, std::uint16_t* y, std::uint16_t* z, std::uint16_t* t) = 0;

  // Reads the sensor and computes the field: 0, or 48 with all four outputs 0.
  int ComputeField(int* x, int* y, int* z, unsigned int* total);

  // Takes the calibration from a 48-byte record of version 1; false (calibration unchanged) for
  // another version or a record shorter than 48 bytes.
  bool DecodeHallCalibration(const std::uint8_t* bytes, std::size_t size);

  // One axis: (raw - offset - dT x offsetDrift) x (gain + dT x gainDrift) in single precision,
  // truncated toward zero and saturated to the 32-bit range (NaN gives 0).
  static int ComputeAxis(std::uint16_t raw, std::uint16_t offset, float gain, float offsetDrift, float gainDrift,
                         float dT);
  // The magnitude of (x, y, z), squares summed in 64 bits, truncated and saturated to 32 bits.
  static unsigned int Magnitude(int x, int y, int z);

  std::uint16_t sensorWord = 0;
  std::uint16_t offsetX = 0, offsetY = 0, offsetZ = 0;
  float gainX = 0, gainY = 0, gainZ = 0;
  std::uint16_t referenceTemperature = 0;
  float offsetDriftX = 0, offsetDriftY = 0, offsetDriftZ = 0;
  float gainDriftX = 0, gainDriftY = 0, gainDriftZ = 0;
};

}  // namespace Torvex
