// CTorvexHostEthernet: the SCPI client of the VXI-11 transport.
#pragma once

#include "engine/C4882Device.h"
#include "host/CTorvexHost.h"

namespace Torvex {

class CTorvexHostEthernet : public CTcpIpDevice, public CTorvexHost {
 public:
  // Enables the device (no name, event loop started), the remote/local event, posts the receive
  // buffer, enables triggers and status-byte requests; IsReady() tells whether all succeeded.
  CTorvexHostEthernet(CTorvexHostParser* parser, const CScpiStatus* statusTemplate);
  ~CTorvexHostEthernet() override;

  void OnInputComplete(std::int32_t reason, MessageBufferDescriptor* descriptor) override;
  void OnResponseComplete(std::int32_t reason, MessageBufferDescriptor* descriptor) override;
  void OnStatusByteRequest(std::uint32_t word) override;
  void OnDeviceClear(std::uint32_t word) override;
  void OnTrigger(std::uint32_t word) override;
  void OnRemoteLocalChange(std::int32_t state) override;
};

}  // namespace Torvex
