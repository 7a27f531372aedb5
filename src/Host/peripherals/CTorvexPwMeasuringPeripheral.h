// CTorvexPwMeasuringPeripheral: a pulsed-wave measuring peripheral (probe, camera, camera head): the
// NMR operations that channel selection, unit conversion, the search limits, the acquisition and the
// DSP interface call.
//
// Callers convert a CTorvexPeripheral whose IsMeasuring is true to this class. The last frequency is
// written and read only by the acquisition thread.
#pragma once

#include <cstdint>

#include "peripherals/CTorvexMeasuringPeripheral.h"
#include "peripherals/PwPhysicalInformation.h"

namespace Torvex {

class CTorvexPwMeasuringPeripheral : public CTorvexMeasuringPeripheral {
 public:
  explicit CTorvexPwMeasuringPeripheral(const CTorvexChannel& channel);

  bool IsMeasuring() override { return true; }
  // Reserved; answers false in every class, nothing calls it.
  virtual bool IsReserved() { return false; }
  // Switches the measurement path to this peripheral: 0 or a link code (or Initialize's result).
  virtual int Activate() = 0;
  // NMR frequency range, Hz.
  virtual double GetMinFrequency() = 0;
  virtual double GetMaxFrequency() = 0;
  // Gyromagnetic ratio of the sample, Hz per tesla. Initialised probes never answer 0 or a value that
  // is not finite; callers that divide by it still check (IsUsableGyromagneticRatio).
  virtual double GetGyromagneticRatio() = 0;
  // Three-axis Hall field and its magnitude: 0, or 48 when the reading failed or there is no sensor.
  virtual int ReadHallField(int* x, int* y, int* z, unsigned int* total) = 0;
  // Never null; owned by the peripheral.
  virtual const PwPhysicalInformation* GetPhysicalInformation() = 0;
  // Sends two 32-bit values with command 7: 0 or 11.
  virtual int WriteParameterPair(std::uint32_t first, std::uint32_t second) = 0;

  double GetLastFrequency() const { return lastFrequency; }
  void SetLastFrequency(double frequency) { lastFrequency = frequency; }

 protected:
  double lastFrequency = 0.0;
};

}  // namespace Torvex
