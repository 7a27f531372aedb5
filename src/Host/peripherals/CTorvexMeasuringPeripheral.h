// CTorvexMeasuringPeripheral: the layer of the peripheral objects that can measure. It adds nothing;
// the pulsed-wave operations are CTorvexPwMeasuringPeripheral's.
#pragma once

#include "peripherals/CTorvexPeripheral.h"

namespace Torvex {

class CTorvexMeasuringPeripheral : public CTorvexPeripheral {
 public:
  using CTorvexPeripheral::CTorvexPeripheral;
};

}  // namespace Torvex
