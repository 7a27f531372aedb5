#include "peripherals/CTorvexMultiplexer.h"

namespace Torvex {

CTorvexMultiplexer::CTorvexMultiplexer(const CTorvexChannel& channel, const PeripheralIdentification& identification,
                                       std::uint8_t portCount)
    : CTorvexPeripheral(channel), CTorvexRealPeripheral(identification), portCount(portCount) {}

int CTorvexMultiplexer::Initialize() {
  if (ReadAuxWord(channel) != 0) return ePeripheralNoData;
  if (ReadDesignation(channel) != 0) return ePeripheralNoData;
  initialized = true;
  return 0;
}

}  // namespace Torvex
