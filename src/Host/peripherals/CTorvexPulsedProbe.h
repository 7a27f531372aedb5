// CTorvexPulsedProbe: a pulsed-wave NMR probe on the connector or on a multiplexer port.
//
// Created uninitialised by the topology factory; initialised on its first activation or when a channel
// list naming it is closed (under g_TopologyLock), loading its aux word, designation, physical
// information (from the probe description file or the probe's memory, by g_ProbeInfoSource) and,
// when fitted, its Hall calibration. A physical description whose gyromagnetic ratio is 0 or not finite
// is refused (48). Queries run on the parser and acquisition threads; the link serialises requests.
#pragma once

#include <cstdint>

#include "peripherals/CTorvex3AxisHallSensor.h"
#include "peripherals/CTorvexPwMeasuringPeripheral.h"
#include "peripherals/CTorvexRealPeripheral.h"
#include "peripherals/PwPhysicalInformation.h"

namespace Torvex {

class CTorvexPulsedProbe : public CTorvexPwMeasuringPeripheral,
                           public CTorvexRealPeripheral,
                           public CTorvex3AxisHallSensor {
 public:
  CTorvexPulsedProbe(const CTorvexChannel& channel, const PeripheralIdentification& identification);

  int GetType() override { return static_cast<int>(identification.type); }
  std::uint16_t GetModel() override { return identification.model; }
  int GetSerialNumber() override { return static_cast<int>(identification.serial); }
  std::string GetDesignation() override { return designation; }
  bool IsInitialized() override { return initialized; }
  int Initialize() override;
  std::uint8_t GetChildCount() override { return 0; }

  int Activate() override;
  double GetMinFrequency() override { return physicalInformation.MinFreq; }
  double GetMaxFrequency() override { return physicalInformation.MaxFreq; }
  double GetGyromagneticRatio() override { return physicalInformation.GyroRatio; }
  // 48 without sending anything when the probe has no Hall sensor or its calibration was not read.
  int ReadHallField(int* x, int* y, int* z, unsigned int* total) override;
  const PwPhysicalInformation* GetPhysicalInformation() override { return &physicalInformation; }
  int WriteParameterPair(std::uint32_t first, std::uint32_t second) override;

  int ReadHallSensor(std::uint16_t* x, std::uint16_t* y, std::uint16_t* z, std::uint16_t* t) override;

  // Command 8 and DecodeHallCalibration: 0 or 48.
  int ReadHallCalibration();

  bool HasHallSensor() const { return (identification.flags & kFlagHallSensor) != 0; }

 private:
  int LoadPhysicalInformation();

  PwPhysicalInformation physicalInformation;
  bool hallCalibrated = false;
};

}  // namespace Torvex
