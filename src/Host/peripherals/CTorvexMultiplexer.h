// CTorvexMultiplexer: a channel multiplexer on the connector or on a port of another multiplexer. It
// answers the identity queries and its port count; it never measures. Switching the route to a
// peripheral behind it is that peripheral's own Activate.
//
// Created by the topology factory with the scan entry's port count and initialised at once (under
// g_TopologyLock); every Initialize reads the aux word and the designation again.
#pragma once

#include <cstdint>

#include "peripherals/CTorvexPeripheral.h"
#include "peripherals/CTorvexRealPeripheral.h"

namespace Torvex {

class CTorvexMultiplexer : public CTorvexPeripheral, public CTorvexRealPeripheral {
 public:
  CTorvexMultiplexer(const CTorvexChannel& channel, const PeripheralIdentification& identification,
                     std::uint8_t portCount);

  int GetType() override { return static_cast<int>(identification.type); }
  std::uint16_t GetModel() override { return identification.model; }
  int GetSerialNumber() override { return static_cast<int>(identification.serial); }
  std::string GetDesignation() override { return designation; }
  bool IsInitialized() override { return initialized; }
  // Commands 11 and 2, every time: 0 or 48 (initialized keeps its previous value on failure).
  int Initialize() override;
  bool IsMeasuring() override { return false; }
  std::uint8_t GetChildCount() override { return portCount; }

 private:
  const std::uint8_t portCount;
};

}  // namespace Torvex
