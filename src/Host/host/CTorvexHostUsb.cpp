// The USB client (see CTorvexHostUsb.h).
#include "host/CTorvexHostUsb.h"

namespace Torvex {

CTorvexHostUsb::CTorvexHostUsb(CTorvexHostParser* parser, const CScpiStatus* statusTemplate, std::uint16_t vendorId,
                               std::uint16_t productId, std::uint16_t deviceRelease, const char* string0,
                               const char* string1, const char* string2, const char* string3, const char* string4,
                               std::uint8_t maxPower, std::uint8_t option)
    : CTorvexHostClient(kHostKindUsb, parser, statusTemplate) {
  if (!IsReady()) return;
  SetReady(false);
  if (CUsbDevice::Enable(vendorId, productId, deviceRelease, string0, string1, string2, string3, string4, maxPower,
                         option, 0, 1) != 0) {
    return;
  }
  if (PostInputBuffer(ReceiveRequest()) != 0) return;
  if (EnableTriggerEvent() != 0) return;
  if (EnableStatusByteRequestEvent() != 0) return;
  SetReady(true);
}

}  // namespace Torvex
