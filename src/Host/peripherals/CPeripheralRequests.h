// CPeripheralRequests: the link requests that the peripheral objects send (commands, commands with
// data, route selection), behind one interface.
//
// By default every request goes to PeripheralLink; the object tests install a stand-in that answers
// like a device, so the objects' decoding and failure handling can be driven without a bus. Install
// only while no peripheral object is in use (tests do it before they build any).
#pragma once

#include <cstdint>

#include "core/CTorvexChannel.h"
#include "peripherals/PeripheralLink.h"

namespace Torvex {

class CPeripheralRequests {
 public:
  virtual ~CPeripheralRequests() = default;
  virtual int SendCommand(const CTorvexChannel& path, std::uint16_t model, std::uint32_t serial,
                          PeripheralLinkRequest& request, std::uint32_t* statusBits);
  virtual int SendCommandWithData(const CTorvexChannel& path, std::uint16_t model, std::uint32_t serial,
                                  PeripheralLinkRequest& request, std::uint32_t* statusBits);
  virtual int SelectRoute(const CTorvexChannel& path, std::uint16_t model, std::uint32_t serial);

  // The requests in use.
  static CPeripheralRequests& Current();
  // Installs `requests` (null: the link again); returns the one installed before.
  static CPeripheralRequests* Install(CPeripheralRequests* requests);
};

}  // namespace Torvex
