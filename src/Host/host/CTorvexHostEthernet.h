// CTorvexHostEthernet: the SCPI client of the VXI-11 transport. Made and deleted by the VXI-11 module's
// start and stop; its events come on the device's event-loop thread (CTorvexHostClient.h).
#pragma once

#include "engine/C4882Device.h"
#include "host/CTorvexHostClient.h"

namespace Torvex {

class CTorvexHostEthernet : public CTorvexHostClient<CTcpIpDevice> {
 public:
  // Enables the device (no name, event loop started), the remote/local event, posts the receive
  // buffer, enables triggers and status-byte requests; IsReady() tells whether all succeeded.
  CTorvexHostEthernet(CTorvexHostParser* parser, const CScpiStatus* statusTemplate);
};

}  // namespace Torvex
