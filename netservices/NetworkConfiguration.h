// Network configuration of eth0: one configuration pass brings the interface up from the
// communication settings of the parameter tree (static addresses, or DHCP with an IPv4 link-local
// fallback), writes the addresses in use back in automatic mode, and sets
// host_if/communication/ethernet_active, whose subscribers start and stop the services on the
// interface. A second thread keeps the DHCP lease.
//
// Threads and exclusion:
//  - a pass runs on "Torvex network thread" (priority 15), created by StartNetworkThread; only one
//    pass runs at a time, and a pass requested while one runs is run once more right after it, on the
//    same thread;
//  - "Torvex DHCP lease mgt" (priority 8) wakes on the DHCP client's alarms; when the lease is lost it
//    configures the interface again (without touching the tree); when a renewal changes the address,
//    it requests a pass, so that the tree and the services follow the new address;
//  - the link-local monitor only requests a pass when it sees a conflict;
//  - passes and the lease thread's work hold one lock, so the interface is configured by one thread
//    at a time.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/kernel.h"

namespace Torvex {

// Results of ConfigureNetworkInterface.
inline constexpr int kNetConfigured = 0;
inline constexpr int kNetHardwareAddressFailed = 23;
inline constexpr int kNetInterfaceUpFailed = 24;

// Address modes (g_NetworkAddressMode).
enum : int {
  kNetModeNone = 0,
  kNetModeStatic = 1,
  kNetModeDhcp = 2,
  kNetModeLinkLocal = 3,
};

extern std::atomic<std::uint8_t> g_NetworkPassRunning;
extern std::atomic<int> g_NetworkAddressMode;

struct DhcpLeaseRecord {
  char* host;  // heap copy owned by the record, or null
  std::uint8_t mac[6];
};
extern DhcpLeaseRecord g_DhcpLeaseRecord;

// Requests one configuration pass and returns at once (the pass runs on the network thread).
void StartNetworkThread();
// One configuration pass (and the passes requested meanwhile); the argument is not used.
void NetworkThreadMain(cyg_addrword_t data);
// Configures eth0: static when the five address texts are given, else DHCP with link-local
// fallback. Returns kNetConfigured, kNetHardwareAddressFailed or kNetInterfaceUpFailed.
int ConfigureNetworkInterface(const std::uint8_t mac[6], const char* host, const char* ip, const char* mask,
                              const char* broadcast, const char* gateway, const char* dns);
void StartDhcpLeaseThread(const std::uint8_t mac[6], const char* host);
void DhcpLeaseThreadMain(cyg_addrword_t record);
// The addresses of eth0_bootp_data as dotted texts (16 bytes each) and the domain (256 bytes).
void GetInterfaceAddresses(char* address, char* mask, char* broadcast, char* gateway, char* server, char* domain);
// Writes the result of GetInterfaceAddresses into comm_parms/ethernet/*.
void PublishInterfaceAddresses();

// Passes completed since start-up (diagnostics and tests).
std::uint32_t NetworkPassCount();

}  // namespace Torvex
