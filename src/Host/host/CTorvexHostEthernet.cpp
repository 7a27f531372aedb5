// The VXI-11 client (see CTorvexHostEthernet.h).
#include "host/CTorvexHostEthernet.h"

namespace Torvex {

CTorvexHostEthernet::CTorvexHostEthernet(CTorvexHostParser* parser, const CScpiStatus* statusTemplate)
    : CTorvexHostClient(kHostKindVxi11, parser, statusTemplate) {
  if (!IsReady()) return;
  SetReady(false);
  if (CTcpIpDevice::Enable(0, nullptr, 1) != 0) return;
  if (EnableRemoteLocalEvent(1) != 0) return;
  if (PostInputBuffer(ReceiveRequest()) != 0) return;
  if (EnableTriggerEvent() != 0) return;
  if (EnableStatusByteRequestEvent() != 0) return;
  SetReady(true);
}

}  // namespace Torvex
