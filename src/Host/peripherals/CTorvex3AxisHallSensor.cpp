#include "peripherals/CTorvex3AxisHallSensor.h"

#include <cmath>
#include <limits>

#include "peripherals/PeripheralBytes.h"

namespace Torvex {
namespace {

constexpr int kNoData = 48;

// Truncates toward zero into 32 bits; beyond the range the nearest end, NaN 0.
int SaturateToInt(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return std::numeric_limits<int>::max();
  if (value <= -2147483648.0) return std::numeric_limits<int>::min();
  return static_cast<int>(value);
}

}  // namespace

int CTorvex3AxisHallSensor::ComputeAxis(std::uint16_t raw, std::uint16_t offset, float gain, float offsetDrift,
                                        float gainDrift, float dT) {
  const float v =
      static_cast<float>(static_cast<std::int32_t>(raw) - static_cast<std::int32_t>(offset)) - dT * offsetDrift;
  const float g = gain + dT * gainDrift;
  return SaturateToInt(static_cast<double>(v * g));
}

unsigned int CTorvex3AxisHallSensor::Magnitude(int x, int y, int z) {
  // Each square is at most 2^62, so the sum of three fits an unsigned 64-bit value.
  const auto square = [](int v) { return static_cast<std::uint64_t>(static_cast<std::int64_t>(v) * v); };
  const std::uint64_t s = square(x) + square(y) + square(z);
  const double root = std::sqrt(static_cast<double>(s));
  if (root >= 4294967295.0) return std::numeric_limits<unsigned int>::max();
  return static_cast<unsigned int>(root);
}

int CTorvex3AxisHallSensor::ComputeField(int* x, int* y, int* z, unsigned int* total) {
  std::uint16_t rX = 0, rY = 0, rZ = 0, rT = 0;
  if (ReadHallSensor(&rX, &rY, &rZ, &rT) != 0) {
    *x = *y = *z = 0;
    *total = 0;
    return kNoData;
  }
  const float dT = static_cast<float>(static_cast<std::int32_t>(rT) - static_cast<std::int32_t>(referenceTemperature));
  *x = ComputeAxis(rX, offsetX, gainX, offsetDriftX, gainDriftX, dT);
  *y = ComputeAxis(rY, offsetY, gainY, offsetDriftY, gainDriftY, dT);
  *z = ComputeAxis(rZ, offsetZ, gainZ, offsetDriftZ, gainDriftZ, dT);
  *total = Magnitude(*x, *y, *z);
  return 0;
}

bool CTorvex3AxisHallSensor::DecodeHallCalibration(const std::uint8_t* bytes, std::size_t size) {
  if (bytes == nullptr || size < kCalibrationRecordSize || ReadU16BE(bytes) != 1) return false;
  sensorWord = ReadU16BE(bytes + 2);
  offsetX = ReadU16BE(bytes + 4);
  offsetY = ReadU16BE(bytes + 6);
  offsetZ = ReadU16BE(bytes + 8);
  gainX = ReadFloatBE(bytes + 10);
  gainY = ReadFloatBE(bytes + 14);
  gainZ = ReadFloatBE(bytes + 18);
  referenceTemperature = ReadU16BE(bytes + 22);
  offsetDriftX = ReadFloatBE(bytes + 24);
  offsetDriftY = ReadFloatBE(bytes + 28);
  offsetDriftZ = ReadFloatBE(bytes + 32);
  gainDriftX = ReadFloatBE(bytes + 36);
  gainDriftY = ReadFloatBE(bytes + 40);
  gainDriftZ = ReadFloatBE(bytes + 44);
  return true;
}

}  // namespace Torvex
