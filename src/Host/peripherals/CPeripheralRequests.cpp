#include "peripherals/CPeripheralRequests.h"

#include <atomic>

namespace Torvex {
namespace {

CPeripheralRequests g_LinkRequests;
std::atomic<CPeripheralRequests*> g_InstalledRequests{nullptr};

}  // namespace

int CPeripheralRequests::SendCommand(const CTorvexChannel& path, std::uint16_t model, std::uint32_t serial,
                                     PeripheralLinkRequest& request, std::uint32_t* statusBits) {
  return PeripheralLink::SendCommand(path, model, serial, request, statusBits);
}

int CPeripheralRequests::SendCommandWithData(const CTorvexChannel& path, std::uint16_t model, std::uint32_t serial,
                                             PeripheralLinkRequest& request, std::uint32_t* statusBits) {
  return PeripheralLink::SendCommandWithData(path, model, serial, request, statusBits);
}

int CPeripheralRequests::SelectRoute(const CTorvexChannel& path, std::uint16_t model, std::uint32_t serial) {
  return PeripheralLink::SelectRoute(path, model, serial);
}

CPeripheralRequests& CPeripheralRequests::Current() {
  CPeripheralRequests* installed = g_InstalledRequests.load();
  return installed != nullptr ? *installed : g_LinkRequests;
}

CPeripheralRequests* CPeripheralRequests::Install(CPeripheralRequests* requests) {
  return g_InstalledRequests.exchange(requests);
}

}  // namespace Torvex
