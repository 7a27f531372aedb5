// The peripheral link (see PeripheralLink.h).
#include "peripherals/PeripheralLink.h"

namespace Torvex::PeripheralLink {

void Init() {}
void ResetControllers(bool) {}
int SendCommand(const CTorvexChannel&, std::uint16_t, std::uint32_t, PeripheralLinkRequest&, std::uint32_t*) {
  return eLinkNoFrame;
}
int SendCommandWithData(const CTorvexChannel&, std::uint16_t, std::uint32_t, PeripheralLinkRequest&,
                        std::uint32_t*) {
  return eLinkNoFrame;
}
int SelectRoute(const CTorvexChannel&, std::uint16_t, std::uint32_t) { return eLinkNoFrame; }
int GetActiveRoute(CTorvexChannel& path, std::uint16_t&, std::uint32_t&) {
  path.length = 0;
  return eLinkNoFrame;
}
int ReadChangeIndicator(std::uint32_t&) { return eLinkNoFrame; }
int ReadIdentification(PeripheralIdentification&) { return eLinkNoFrame; }
int RequestScan(std::uint8_t&) { return eLinkNoFrame; }
int ScanTopology(std::vector<PeripheralScanEntry>& list) {
  list.clear();
  return eLinkNoFrame;
}
int ScanMultiplexer(PeripheralScanEntry&, std::vector<PeripheralScanEntry>&) { return eLinkNoFrame; }
int ReadMemoryBlock(const CTorvexChannel&, std::uint16_t, std::uint32_t, std::uint16_t, std::uint16_t,
                    std::vector<std::uint8_t>&) {
  return eLinkNoData;
}
int SendFrame(const std::uint8_t*, std::size_t) { return eLinkRefused; }
int PollStatus(std::uint8_t*) { return eLinkNoFrame; }
int ReceiveFrame(std::uint8_t, const std::uint8_t**, std::uint16_t*) { return eLinkNoFrame; }
bool CheckFrame(const std::uint8_t* bytes, std::uint16_t count) {
  std::uint8_t x = 0;
  for (std::uint16_t i = 0; i < count; ++i) x ^= bytes[i];
  return x == 0;
}
PeripheralIdentification DecodeIdentification(const std::uint8_t*) { return {}; }
CTorvexChannel LinkPathOf(const CTorvexChannel& channel) {
  CTorvexChannel path;
  for (std::uint8_t i = 1; i < channel.Length(); ++i) path.AppendLevel(channel.Level(i));
  return path;
}
std::uint32_t Speed() { return kLinkSpeedFast; }
std::uint32_t GoodFrames() { return 0; }

}  // namespace Torvex::PeripheralLink
