// CTorvexHostUsb: the SCPI client of the USBTMC-USB488 transport. Made and deleted by the USB module's
// start and stop; its events come on the device's event-loop thread (CTorvexHostClient.h).
#pragma once

#include <cstdint>

#include "engine/C4882Device.h"
#include "host/CTorvexHostClient.h"

namespace Torvex {

class CTorvexHostUsb : public CTorvexHostClient<CUsbDevice> {
 public:
  // The identity and options are handed to CUsbDevice::Enable unchanged; then the receive buffer is
  // posted and triggers and status-byte requests enabled. IsReady() tells whether all succeeded.
  CTorvexHostUsb(CTorvexHostParser* parser, const CScpiStatus* statusTemplate, std::uint16_t vendorId,
                 std::uint16_t productId, std::uint16_t deviceRelease, const char* string0, const char* string1,
                 const char* string2, const char* string3, const char* string4, std::uint8_t maxPower,
                 std::uint8_t option);
};

}  // namespace Torvex
