// PwPhysicalInformation: the physical description of a pulsed-wave measuring peripheral (frequency
// and IF ranges, frequency multiplier, gyromagnetic ratio, pulse period, T2, sample length, dead time
// and five calibration curves), and its link record decoder.
//
// A probe holds one record by value (filled from its memory or from the probe description file); a
// camera holds one per head in a PwPhysicalInformationSet. Readers: the unit conversion, the search
// limits, the acquisition set-up and the DSP interface (parser and acquisition threads). A record has
// no lock: it is written only while its peripheral is initialised under g_TopologyLock.
//
// Link record (big-endian; doubles IEEE 754, most significant byte first): version (2, only 1), nine
// doubles at 2..66, DeadTime at 74, then five curves from 75: a 16-bit count (at most 128) and that
// many 16-bit points each. Five empty curves make 85 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace Torvex {

// One calibration curve: a point count and the points (owned by the record).
struct PwCurve {
  std::uint16_t count = 0;
  std::unique_ptr<std::uint16_t[]> points;

  // Replaces the points by a copy of `n` points (n 0 leaves none).
  void Assign(const std::uint16_t* source, std::uint16_t n);
};

class PwPhysicalInformation {
 public:
  static constexpr std::uint16_t kMaxCurvePoints = 128;
  static constexpr std::size_t kMinRecordSize = 85;  // a record with five empty curves

  PwPhysicalInformation() = default;
  virtual ~PwPhysicalInformation() = default;
  PwPhysicalInformation(const PwPhysicalInformation& other);
  PwPhysicalInformation& operator=(const PwPhysicalInformation& other);

  double MinFreq = 0;
  double MaxFreq = 0;
  double MinIF = 0;
  double MaxIF = 0;
  double FreqMultiplier = 1.0;
  double GyroRatio = 1.0;
  double PulsePeriod = 0;
  double T2 = 0;
  double SampleLength = 0;
  std::uint8_t DeadTime = 0;
  PwCurve NoiseLevel;
  PwCurve Tuning;
  PwCurve Matching;
  PwCurve PulseWidth;
  PwCurve FreqStep;

  // The five curves in record order.
  PwCurve* Curve(int i);
  const PwCurve* Curve(int i) const;
};

// True when a gyromagnetic ratio can be used to convert between field and frequency: finite and not 0.
bool IsUsableGyromagneticRatio(double ratio);

// Decodes one link record of at most `size` bytes into `record`. Returns false (no byte read beyond
// `size`) for a version other than 1, a curve count above 128, or a record cut short; the curves
// before the failing one stay decoded, the others as they were. On success *next (may be null)
// receives the number of bytes the record took.
bool DecodePhysicalInformation(const std::uint8_t* bytes, std::size_t size, PwPhysicalInformation& record,
                               std::size_t* next);

// The record of cameras and heads that have none of their own: the defaults. Built before main runs.
extern const PwPhysicalInformation g_DefaultPhysicalInformation;

// Where a probe's Initialize takes its physical information from (written only by the peripheral
// start-up): 0 the probe description file, 1 the probe's memory, 2 not yet decided (Initialize fails).
enum eProbeInfoSource : std::int32_t {
  eProbeInfoFromFile = 0,
  eProbeInfoFromProbe = 1,
  eProbeInfoUndecided = 2,
};
extern std::int32_t g_ProbeInfoSource;

}  // namespace Torvex
