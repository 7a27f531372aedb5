// IPv4 link-local addressing of eth0 (169.254/16, in the manner of RFC 3927): claiming an address
// with ARP probes and announcements, and a monitor thread that watches ARP traffic for another host
// using the claimed address.
//
// ARP is sent and observed at the Ethernet driver: frames go out through the driver's send entry;
// received frames are observed by a hook put in place of the driver's receive entry, which hands
// every frame on to the driver's own entry first, so the stack gets each frame unchanged, and copies
// one ARP body aside per installation.
//
// Threads: a claim runs on the configuring thread and ends before a monitor starts; the monitor runs
// on "IPv4LL Monitoring Thread"; ipv4ll_stop_monitor runs on the configuring thread. Times are kernel
// ticks.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/kernel.h"
#include "platform/net.h"

namespace Torvex {

using ipv4ll_callback = void (*)(cyg_addrword_t data);

// Event bits of g_Ipv4llArpEvent.
inline constexpr cyg_flag_value_t kIpv4llArpCaptured = 0x1;  // the hook has copied an ARP body
inline constexpr cyg_flag_value_t kIpv4llStopMonitor = 0x2;  // the monitor is asked to end
inline constexpr std::size_t kIpv4llArpBufferSize = 1024;

extern std::atomic<std::uint32_t> g_Ipv4llAddress;  // network order
extern std::atomic<int> g_Ipv4llClaimState;         // 0-2 probing, 3-5 announcing, 6 claimed, 7 conflict
extern cyg_flag_t& g_Ipv4llArpEvent;                // never destroyed (a monitor may wait on it at exit)
extern std::uint8_t g_Ipv4llArpBuffer[kIpv4llArpBufferSize];
extern std::uint32_t g_Ipv4llWaitSeed;
extern std::atomic<int> g_Ipv4llStopRequested;
extern std::atomic<int> g_Ipv4llMonitorDone;
extern std::atomic<int> g_Ipv4llWatching;

// Probes and announces candidates until one passes; returns it (network order). Blocks for the whole
// claim (about 10 s at 10-ms ticks on a quiet link).
std::uint32_t ipv4ll_claim_address(const std::uint8_t mac[6]);
// Starts the monitor thread; `callback` is called with 0 on the monitor thread when another host
// uses the claimed address (it must only request work of other threads).
void ipv4ll_start_monitor(ipv4ll_callback callback);
// Asks the monitor to end, waits until it has ended and deletes its thread. Does nothing when no
// monitor exists.
void ipv4ll_stop_monitor();
void ipv4ll_monitor_thread(cyg_addrword_t callback);
void ipv4ll_arp_recv_hook(eth_drv_sc* sc, eth_drv_sg* sg_list, int sg_len);

// The next wait of the claim's wait generator (advances g_Ipv4llWaitSeed): 0-199 ticks.
cyg_tick_count_t ipv4ll_random_wait();
// The first candidate a claim with this MAC picks (network order).
std::uint32_t ipv4ll_first_candidate(const std::uint8_t mac[6]);

}  // namespace Torvex
