// CTorvexHostUsb: the SCPI client of the USBTMC-USB488 transport.
#pragma once

#include <cstdint>

#include "engine/C4882Device.h"
#include "host/CTorvexHost.h"

namespace Torvex {

class CTorvexHostUsb : public CUsbDevice, public CTorvexHost {
 public:
  // The identity and options are handed to CUsbDevice::Enable unchanged; then the receive buffer is
  // posted and triggers and status-byte requests enabled. IsReady() tells whether all succeeded.
  CTorvexHostUsb(CTorvexHostParser* parser, const CScpiStatus* statusTemplate, std::uint16_t vendorId,
                 std::uint16_t productId, std::uint16_t deviceRelease, const char* string0,
                 const char* string1, const char* string2, const char* string3, const char* string4,
                 std::uint8_t maxPower, std::uint8_t option);
  ~CTorvexHostUsb() override;

  void OnInputComplete(std::int32_t reason, MessageBufferDescriptor* descriptor) override;
  void OnResponseComplete(std::int32_t reason, MessageBufferDescriptor* descriptor) override;
  void OnStatusByteRequest(std::uint32_t word) override;
  void OnDeviceClear(std::uint32_t word) override;
  void OnTrigger(std::uint32_t word) override;
  void OnRemoteLocalChange(std::int32_t state) override;
};

}  // namespace Torvex
