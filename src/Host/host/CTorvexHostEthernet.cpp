// The VXI-11 client (see CTorvexHostEthernet.h).
#include "host/CTorvexHostEthernet.h"

namespace Torvex {

CTorvexHostEthernet::CTorvexHostEthernet(CTorvexHostParser* parser, const CScpiStatus* statusTemplate)
    : C4882Device(), CTorvexHost(kHostKindVxi11, this, parser, statusTemplate) {
  if (!IsReady()) return;
  SetReady(false);
  if (CTcpIpDevice::Enable(0, nullptr, 1) != 0) return;
  if (EnableRemoteLocalEvent(1) != 0) return;
  if (PostInputBuffer(ReceiveRequest()) != 0) return;
  if (EnableTriggerEvent() != 0) return;
  if (EnableStatusByteRequestEvent() != 0) return;
  SetReady(true);
}

CTorvexHostEthernet::~CTorvexHostEthernet() {
  BeginTeardown();
  Disable();
}

void CTorvexHostEthernet::OnInputComplete(std::int32_t reason, MessageBufferDescriptor* descriptor) {
  HandleInputComplete(reason, descriptor);
}
void CTorvexHostEthernet::OnResponseComplete(std::int32_t reason, MessageBufferDescriptor*) {
  HandleResponseComplete(reason);
}
void CTorvexHostEthernet::OnStatusByteRequest(std::uint32_t) { HandleStatusByteRequest(); }
void CTorvexHostEthernet::OnDeviceClear(std::uint32_t) { HandleDeviceClear(); }
void CTorvexHostEthernet::OnTrigger(std::uint32_t) { HandleTrigger(); }
void CTorvexHostEthernet::OnRemoteLocalChange(std::int32_t) { HandleRemoteLocalChange(); }

}  // namespace Torvex
