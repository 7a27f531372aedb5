// A measuring peripheral whose gyromagnetic ratio the test sets and whose questions for it are
// counted; nothing else of it is used.
#pragma once

#include <cstdint>
#include <string>

#include "core/CTorvexChannel.h"
#include "peripherals/CTorvexPwMeasuringPeripheral.h"
#include "peripherals/PwPhysicalInformation.h"

namespace torvex_test {

class FakeProbe : public Torvex::CTorvexPwMeasuringPeripheral {
 public:
  explicit FakeProbe(double ratio) : CTorvexPwMeasuringPeripheral(Torvex::CTorvexChannel()), ratio(ratio) {}
  int GetType() override { return 2; }
  std::uint16_t GetModel() override { return 0; }
  int GetSerialNumber() override { return 0; }
  std::string GetDesignation() override { return "-"; }
  bool IsInitialized() override { return true; }
  int Initialize() override { return 0; }
  std::uint8_t GetChildCount() override { return 0; }
  int Activate() override { return 0; }
  double GetMinFrequency() override { return 0.0; }
  double GetMaxFrequency() override { return 0.0; }
  double GetGyromagneticRatio() override {
    ++asked;
    return ratio;
  }
  int ReadHallField(int*, int*, int*, unsigned int*) override { return 48; }
  const Torvex::PwPhysicalInformation* GetPhysicalInformation() override { return &information; }
  int WriteParameterPair(std::uint32_t, std::uint32_t) override { return 11; }

  double ratio;
  int asked = 0;
  Torvex::PwPhysicalInformation information{};
};

}  // namespace torvex_test
