#include "peripherals/CTorvexPulsedProbe.h"

#include <vector>

#include "peripherals/CPeripheralRequests.h"
#include "peripherals/ProbeXml.h"

namespace Torvex {

CTorvexPulsedProbe::CTorvexPulsedProbe(const CTorvexChannel& channel, const PeripheralIdentification& identification)
    : CTorvexPwMeasuringPeripheral(channel), CTorvexRealPeripheral(identification) {}

int CTorvexPulsedProbe::LoadPhysicalInformation() {
  switch (g_ProbeInfoSource) {
    case eProbeInfoFromFile: {
      const ProbeXmlRecord& file = g_ProbeXmlRecord;
      if (file.StructVersion != 1) return ePeripheralNoData;
      PwPhysicalInformation& info = physicalInformation;
      info.MinFreq = file.MinFreq;
      info.MaxFreq = file.MaxFreq;
      info.MinIF = file.MinIF;
      info.MaxIF = file.MaxIF;
      info.FreqMultiplier = file.FreqMultiplier;
      info.GyroRatio = file.GyroRatio;
      info.PulsePeriod = file.PulsePeriod;
      info.T2 = file.T2;
      info.SampleLength = file.SampleLength;
      info.DeadTime = file.DeadTime;
      const ProbeXmlCurve* curves[5] = {&file.NoiseLevelCurve, &file.TuningCurve, &file.MatchingCurve,
                                        &file.PulseWidthCurve, &file.FreqStepCurve};
      for (int i = 0; i < 5; ++i) {
        const std::uint16_t n = curves[i]->count <= PwPhysicalInformation::kMaxCurvePoints
                                    ? curves[i]->count
                                    : PwPhysicalInformation::kMaxCurvePoints;
        info.Curve(i)->Assign(curves[i]->points, n);
      }
      return 0;
    }
    case eProbeInfoFromProbe: {
      std::vector<std::uint8_t> answer;
      if (ReadInformationBlock(channel, answer) != 0) return ePeripheralNoData;
      if (!DecodePhysicalInformation(answer.data(), answer.size(), physicalInformation, nullptr)) {
        return ePeripheralNoData;
      }
      return 0;
    }
    default: return ePeripheralNoData;
  }
}

int CTorvexPulsedProbe::Initialize() {
  if (initialized) return 0;
  if (ReadAuxWord(channel) != 0) return ePeripheralNoData;
  if (ReadDesignation(channel) != 0) return ePeripheralNoData;
  if (LoadPhysicalInformation() != 0) return ePeripheralNoData;
  // Field and frequency are converted through the ratio: a description without a usable one cannot
  // measure.
  if (!IsUsableGyromagneticRatio(physicalInformation.GyroRatio)) return ePeripheralNoData;
  if (HasHallSensor() && ReadHallCalibration() != 0) return ePeripheralNoData;
  initialized = true;
  return 0;
}

int CTorvexPulsedProbe::Activate() {
  const int result = CPeripheralRequests::Current().SelectRoute(PeripheralLink::LinkPathOf(channel),
                                                                identification.model, identification.serial);
  if (result != 0) return result;
  return Initialize();
}

int CTorvexPulsedProbe::ReadHallCalibration() {
  std::vector<std::uint8_t> answer;
  if (ReadCommand(channel, kCmdHallCalibration, answer) != 0) return ePeripheralNoData;
  if (!DecodeHallCalibration(answer.data(), answer.size())) return ePeripheralNoData;
  hallCalibrated = true;
  return 0;
}

int CTorvexPulsedProbe::ReadHallSensor(std::uint16_t* x, std::uint16_t* y, std::uint16_t* z, std::uint16_t* t) {
  return ReadHallRaw(channel, x, y, z, t);
}

int CTorvexPulsedProbe::ReadHallField(int* x, int* y, int* z, unsigned int* total) {
  if (!HasHallSensor() || !hallCalibrated) {
    *x = *y = *z = 0;
    *total = 0;
    return ePeripheralNoData;
  }
  return ComputeField(x, y, z, total);
}

int CTorvexPulsedProbe::WriteParameterPair(std::uint32_t first, std::uint32_t second) {
  return SendParameterPair(channel, first, second);
}

}  // namespace Torvex
