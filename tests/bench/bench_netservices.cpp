// Network figures: GetInterfaceAddresses on a record with a full options area, and one DHCP exchange
// (discover to acknowledgement) against the simulated link's server.
#include <benchmark/benchmark.h>

#include <cstring>

#include "netservices/NetworkConfiguration.h"
#include "platform/net.h"
#include "sim/network.h"

namespace {

void BM_GetInterfaceAddresses(benchmark::State& state) {
  std::memset(&eth0_bootp_data, 0, sizeof eth0_bootp_data);
  const std::uint8_t cookie[4] = {99, 130, 83, 99};
  std::memcpy(eth0_bootp_data.bp_vend, cookie, 4);
  // Unknown options fill the area; the ones read come last.
  std::size_t at = 4;
  while (at + 40 < kBootpVendorSize) {
    eth0_bootp_data.bp_vend[at] = 200;
    eth0_bootp_data.bp_vend[at + 1] = 8;
    at += 10;
  }
  const std::uint8_t tail[] = {1, 4, 255, 255, 255, 0, 3, 4, 10, 0, 0, 1, 6, 4, 10, 0, 0, 2, 15, 3, 'l', 'a', 'b', 255};
  std::memcpy(eth0_bootp_data.bp_vend + at, tail, sizeof tail);
  char a[16], m[16], b[16], g[16], s[16], d[256];
  for (auto _ : state) {
    Torvex::GetInterfaceAddresses(a, m, b, g, s, d);
    benchmark::DoNotOptimize(d);
  }
}
BENCHMARK(BM_GetInterfaceAddresses);

void BM_DhcpExchange(benchmark::State& state) {
  sim::Network link;
  link.Install();
  bootp record{};
  std::uint8_t dhcp_state = 0;
  dhcp_lease lease{};
  for (auto _ : state) {
    if (!do_dhcp(eth0_name, &record, &dhcp_state, &lease)) state.SkipWithError("no lease");
  }
  dhcp_halt();
  platform::net::InstallBackend(nullptr);
}
BENCHMARK(BM_DhcpExchange);

}  // namespace
