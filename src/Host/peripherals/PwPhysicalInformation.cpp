#include "peripherals/PwPhysicalInformation.h"

#include <algorithm>
#include <cmath>

#include "peripherals/PeripheralBytes.h"

namespace Torvex {

const PwPhysicalInformation g_DefaultPhysicalInformation;
std::int32_t g_ProbeInfoSource = eProbeInfoUndecided;

void PwCurve::Assign(const std::uint16_t* source, std::uint16_t n) {
  std::unique_ptr<std::uint16_t[]> copy;
  if (n > 0) {
    copy = std::make_unique<std::uint16_t[]>(n);
    std::copy_n(source, n, copy.get());
  }
  points = std::move(copy);
  count = n;
}

PwPhysicalInformation::PwPhysicalInformation(const PwPhysicalInformation& other) { *this = other; }

PwPhysicalInformation& PwPhysicalInformation::operator=(const PwPhysicalInformation& other) {
  if (this == &other) return *this;
  MinFreq = other.MinFreq;
  MaxFreq = other.MaxFreq;
  MinIF = other.MinIF;
  MaxIF = other.MaxIF;
  FreqMultiplier = other.FreqMultiplier;
  GyroRatio = other.GyroRatio;
  PulsePeriod = other.PulsePeriod;
  T2 = other.T2;
  SampleLength = other.SampleLength;
  DeadTime = other.DeadTime;
  for (int i = 0; i < 5; ++i) Curve(i)->Assign(other.Curve(i)->points.get(), other.Curve(i)->count);
  return *this;
}

PwCurve* PwPhysicalInformation::Curve(int i) {
  return const_cast<PwCurve*>(static_cast<const PwPhysicalInformation*>(this)->Curve(i));
}

const PwCurve* PwPhysicalInformation::Curve(int i) const {
  switch (i) {
    case 0: return &NoiseLevel;
    case 1: return &Tuning;
    case 2: return &Matching;
    case 3: return &PulseWidth;
    case 4: return &FreqStep;
    default: return nullptr;
  }
}

bool IsUsableGyromagneticRatio(double ratio) { return std::isfinite(ratio) && ratio != 0.0; }

bool DecodePhysicalInformation(const std::uint8_t* bytes, std::size_t size, PwPhysicalInformation& record,
                               std::size_t* next) {
  ByteCursor in(bytes, size);
  // The fixed part is read whole before anything is stored, so a record cut short there changes nothing.
  if (!in.Has(75) || in.U16() != 1) return false;
  record.MinFreq = in.Double();
  record.MaxFreq = in.Double();
  record.MinIF = in.Double();
  record.MaxIF = in.Double();
  record.FreqMultiplier = in.Double();
  record.GyroRatio = in.Double();
  record.PulsePeriod = in.Double();
  record.T2 = in.Double();
  record.SampleLength = in.Double();
  record.DeadTime = in.U8();
  for (int c = 0; c < 5; ++c) {
    if (!in.Has(2)) return false;
    const std::uint16_t count = in.U16();
    if (count > PwPhysicalInformation::kMaxCurvePoints) return false;
    const std::uint8_t* raw = in.Take(2 * std::size_t{count});
    if (raw == nullptr) return false;
    std::uint16_t points[PwPhysicalInformation::kMaxCurvePoints];
    for (std::uint16_t i = 0; i < count; ++i) points[i] = ReadU16BE(raw + 2 * i);
    record.Curve(c)->Assign(points, count);
  }
  if (next != nullptr) *next = in.Position();
  return true;
}

}  // namespace Torvex
