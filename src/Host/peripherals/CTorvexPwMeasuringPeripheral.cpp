#include "peripherals/CTorvexPwMeasuringPeripheral.h"

namespace Torvex {

CTorvexPwMeasuringPeripheral::CTorvexPwMeasuringPeripheral(const CTorvexChannel& channel)
    : CTorvexMeasuringPeripheral(channel) {}

}  // namespace Torvex
