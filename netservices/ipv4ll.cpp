// IPv4 link-local addressing (see ipv4ll.h).
#include "netservices/ipv4ll.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

namespace Torvex {

std::atomic<std::uint32_t> g_Ipv4llAddress{0};
std::atomic<int> g_Ipv4llClaimState{0};
namespace {
alignas(cyg_flag_t) unsigned char g_ArpEventStorage[sizeof(cyg_flag_t)];
}  // namespace
cyg_flag_t& g_Ipv4llArpEvent = *new (g_ArpEventStorage) cyg_flag_t;
std::uint8_t g_Ipv4llArpBuffer[kIpv4llArpBufferSize];
std::uint32_t g_Ipv4llWaitSeed = 0;
std::atomic<int> g_Ipv4llStopRequested{0};
std::atomic<int> g_Ipv4llMonitorDone{0};
std::atomic<int> g_Ipv4llWatching{0};

namespace {

using RecvEntry = void (*)(eth_drv_sc*, eth_drv_sg*, int);

constexpr std::uint32_t kWaitSeedStart = 0xB176D2CDu;
constexpr cyg_tick_count_t kAnnounceWait = 200;
constexpr cyg_tick_count_t kLastProbeWait = 200;
constexpr cyg_tick_count_t kRateLimitedWait = 6000;
constexpr cyg_tick_count_t kStartDelay = 100;
constexpr int kMaxConflicts = 10;
constexpr std::size_t kArpExamined = 28;  // operation to target protocol address

struct FlagInit {
  FlagInit() { cyg_flag_init(&g_Ipv4llArpEvent); }
};
[[maybe_unused]] FlagInit g_flag_init;

// The hook's installation: the saved entry and whether the hook may (re)install itself. Held only
// for the few instructions that read or swap the driver's entry, never while the entry runs.
std::mutex g_HookLock;
RecvEntry g_Ipv4llSavedRecv = nullptr;
bool g_HookArmed = false;
eth_drv_sc* g_Ipv4llDriver = nullptr;

cyg_thread g_MonitorThread;
cyg_handle_t g_MonitorHandle = 0;
alignas(8) unsigned char g_MonitorStack[8016];
std::uint8_t g_ClaimMac[6];         // the MAC of the last claim
std::size_t g_Ipv4llArpLength = 0;  // bytes of the last captured body (under g_HookLock)

// The claim's candidate generator: a linear congruential generator of the C library's kind, two
// steps of 15 bits per value.
std::uint32_t g_RandState = 1;
void ipv4ll_srand(std::uint32_t seed) { g_RandState = seed; }
std::uint32_t ipv4ll_rand() {
  g_RandState = g_RandState * 1103515245u + 12345u;
  const std::uint32_t high = (g_RandState >> 16) & 0x7FFF;
  g_RandState = g_RandState * 1103515245u + 12345u;
  const std::uint32_t low = (g_RandState >> 16) & 0x7FFF;
  return (high << 15) | low;
}

std::uint32_t NextCandidate() { return htonl(0xA9FE0000u + ipv4ll_rand() % 0xFD00u + 0x100u); }

std::uint32_t MacSeed(const std::uint8_t mac[6]) {
  return (static_cast<std::uint32_t>(mac[2]) << 24) | (static_cast<std::uint32_t>(mac[3]) << 16) |
         (static_cast<std::uint32_t>(mac[4]) << 8) | mac[5];
}

eth_drv_sc* FindDriver() {
  for (eth_drv_sc* const* p = netdev_table; *p != nullptr; ++p) {
    if ((*p)->dev_name != nullptr && std::strcmp((*p)->dev_name, eth0_name) == 0) return *p;
  }
  return nullptr;
}

// Saves the driver's own receive entry (never the hook itself).
void SaveRecv(eth_drv_sc* sc) {
  std::lock_guard<std::mutex> g(g_HookLock);
  g_Ipv4llDriver = sc;
  const RecvEntry current = sc->funs->recv.load();
  if (current != &ipv4ll_arp_recv_hook) g_Ipv4llSavedRecv = current;
}

void RestoreRecv() {
  std::lock_guard<std::mutex> g(g_HookLock);
  g_HookArmed = false;
  if (g_Ipv4llDriver != nullptr && g_Ipv4llSavedRecv != nullptr) g_Ipv4llDriver->funs->recv.store(g_Ipv4llSavedRecv);
}

std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
std::uint32_t Raw32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

struct ArpFrame {
  std::uint8_t bytes[56];
};

ArpFrame FrameTemplate(const std::uint8_t mac[6], std::uint32_t candidate) {
  ArpFrame f{};
  std::memset(f.bytes, 0xFF, 6);
  std::memcpy(f.bytes + 6, mac, 6);
  f.bytes[12] = 0x08;
  f.bytes[13] = 0x06;
  f.bytes[15] = 1;     // Ethernet
  f.bytes[16] = 0x08;  // IPv4
  f.bytes[18] = 6;
  f.bytes[19] = 4;
  f.bytes[21] = 1;  // request
  std::memcpy(f.bytes + 22, mac, 6);
  std::memcpy(f.bytes + 38, &candidate, 4);
  return f;
}

void SendFrame(eth_drv_sc* sc, ArpFrame& f) {
  while (sc->funs->can_send(sc) == 0) cyg_thread_delay(1);
  eth_drv_sg sg[2] = {{reinterpret_cast<cyg_addrword_t>(f.bytes), 14},
                      {reinterpret_cast<cyg_addrword_t>(f.bytes + 14), 42}};
  sc->funs->send(sc, sg, 2, 56, 0);
}

// Clears the capture bit and installs the hook, so that a reply to the frame about to be sent is
// seen however fast it comes.
void ArmCapture() {
  std::lock_guard<std::mutex> g(g_HookLock);
  // Under the hook lock, so that a late capture for the previous frame cannot set the bit again.
  cyg_flag_maskbits(&g_Ipv4llArpEvent, ~kIpv4llArpCaptured);
  if (g_Ipv4llDriver == nullptr || g_Ipv4llSavedRecv == nullptr) return;
  g_HookArmed = true;
  g_Ipv4llDriver->funs->recv.store(&ipv4ll_arp_recv_hook);
}

// Waits up to `wait` ticks for a captured frame; true with the body's first bytes in `body`.
bool WaitForCapture(cyg_tick_count_t wait, std::uint8_t body[kArpExamined], bool* complete) {
  const cyg_tick_count_t deadline = cyg_current_time() + wait;
  const cyg_flag_value_t v = cyg_flag_timed_wait(&g_Ipv4llArpEvent, kIpv4llArpCaptured,
                                                 CYG_FLAG_WAITMODE_OR | CYG_FLAG_WAITMODE_CLR, deadline);
  if ((v & kIpv4llArpCaptured) == 0) return false;
  // Under the hook lock: a late frame may be captured into the buffer while it is read.
  std::lock_guard<std::mutex> g(g_HookLock);
  *complete = g_Ipv4llArpLength >= kArpExamined;
  std::memcpy(body, g_Ipv4llArpBuffer, kArpExamined);
  return true;
}

}  // namespace

cyg_tick_count_t ipv4ll_random_wait() {
  g_Ipv4llWaitSeed = g_Ipv4llWaitSeed * 1103515245u + 12345u;
  return (g_Ipv4llWaitSeed / 6253u) % 200u;
}

std::uint32_t ipv4ll_first_candidate(const std::uint8_t mac[6]) {
  const std::uint32_t saved = g_RandState;
  ipv4ll_srand(MacSeed(mac));
  const std::uint32_t c = NextCandidate();
  g_RandState = saved;
  return c;
}

void ipv4ll_arp_recv_hook(eth_drv_sc* sc, eth_drv_sg* sg_list, int sg_len) {
  RecvEntry saved;
  {
    std::lock_guard<std::mutex> g(g_HookLock);
    saved = g_Ipv4llSavedRecv;
    sc->funs->recv.store(saved);
  }
  if (saved == nullptr) return;
  saved(sc, sg_list, sg_len);
  std::uint8_t header[14] = {};
  const bool have_header = sg_len >= 1 && sg_list[0].len >= 14 && sg_list[0].buf != 0;
  if (have_header) std::memcpy(header, reinterpret_cast<const void*>(sg_list[0].buf), 14);
  {
    std::lock_guard<std::mutex> g(g_HookLock);
    if (!g_HookArmed) return;
    if (have_header && Be16(header + 12) == 0x0806 && sg_len >= 2 && sg_list[1].buf != 0) {
      // Bounded by the buffer: a longer first body piece is cut, a negative length copies nothing.
      const std::size_t n = std::min<std::size_t>(kIpv4llArpBufferSize,
                                                  sg_list[1].len > 0 ? static_cast<std::size_t>(sg_list[1].len) : 0);
      std::memcpy(g_Ipv4llArpBuffer, reinterpret_cast<const void*>(sg_list[1].buf), n);
      g_Ipv4llArpLength = n;
      g_HookArmed = false;
      cyg_flag_setbits(&g_Ipv4llArpEvent, kIpv4llArpCaptured);
    } else {
      sc->funs->recv.store(&ipv4ll_arp_recv_hook);
    }
  }
}

std::uint32_t ipv4ll_claim_address(const std::uint8_t mac[6]) {
  eth0_up = true;
  std::memcpy(g_ClaimMac, mac, 6);
  eth_drv_sc* sc = FindDriver();
  if (sc == nullptr) return 0;
  SaveRecv(sc);

  g_Ipv4llWaitSeed = kWaitSeedStart;
  ipv4ll_srand(MacSeed(mac));
  g_Ipv4llAddress = NextCandidate();
  g_Ipv4llClaimState = 0;
  int conflicts = 0;
  bool rate_limited = false;
  cyg_tick_count_t wait = 0;
  ArpFrame frame = FrameTemplate(mac, g_Ipv4llAddress);
  cyg_thread_delay(kStartDelay);

  for (;;) {
    const int state = g_Ipv4llClaimState;
    const std::uint32_t candidate = g_Ipv4llAddress;
    std::uint32_t sent_sender = 0;
    if (state <= 2) {
      if (!rate_limited) {
        if (conflicts >= kMaxConflicts) {
          wait = kRateLimitedWait;
          rate_limited = true;
        } else {
          wait = state == 2 ? kLastProbeWait : ipv4ll_random_wait();
        }
      }
      std::memset(frame.bytes + 28, 0, 4);
      std::memset(frame.bytes + 32, 0, 6);
    } else if (state <= 5) {
      wait = kAnnounceWait;
      std::memcpy(frame.bytes + 28, &candidate, 4);
      std::memcpy(frame.bytes + 32, mac, 6);
      sent_sender = candidate;
    } else if (state == 6) {
      RestoreRecv();
      return g_Ipv4llAddress;
    } else {
      g_Ipv4llClaimState = 0;
      g_Ipv4llAddress = NextCandidate();
      const std::uint32_t next = g_Ipv4llAddress;
      std::memcpy(frame.bytes + 38, &next, 4);
      cyg_thread_delay(kStartDelay);
      ++conflicts;
      continue;
    }
    ArmCapture();
    SendFrame(sc, frame);
    std::uint8_t body[kArpExamined];
    bool complete = false;
    if (WaitForCapture(wait, body, &complete) && complete && Be16(body + 6) == 2 && Raw32(body + 14) == candidate &&
        Raw32(body + 24) == sent_sender) {
      g_Ipv4llClaimState = 7;
    } else {
      g_Ipv4llClaimState = state + 1;
    }
  }
}

void ipv4ll_monitor_thread(cyg_addrword_t data) {
  const auto callback = reinterpret_cast<ipv4ll_callback>(data);
  eth0_up = true;
  eth_drv_sc* sc = FindDriver();
  std::uint8_t own[6];
  std::memcpy(own, g_ClaimMac, 6);  // what the claim used, should the interface not tell
  ifreq req{};
  std::strncpy(req.ifr_name, eth0_name, IFNAMSIZ - 1);
  const int fd = platform::net::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd >= 0) {
    if (platform::net::ioctl(fd, SIOCGIFHWADDR, &req) == 0) std::memcpy(own, req.ifr_hwaddr.sa_data, 6);
    platform::net::close(fd);
  }
  if (sc != nullptr) SaveRecv(sc);
  while (sc != nullptr && g_Ipv4llStopRequested == 0 && g_Ipv4llWatching == 1) {
    ArmCapture();
    if (g_Ipv4llStopRequested != 0) break;
    const cyg_flag_value_t v =
        cyg_flag_wait(&g_Ipv4llArpEvent, kIpv4llArpCaptured | kIpv4llStopMonitor, CYG_FLAG_WAITMODE_OR);
    if (v == 0 || (v & kIpv4llArpCaptured) == 0) continue;  // broken wait, or the stop bit
    std::uint8_t body[kArpExamined];
    const bool complete = g_Ipv4llArpLength >= kArpExamined;
    std::memcpy(body, g_Ipv4llArpBuffer, kArpExamined);
    if (complete && Raw32(body + 14) == g_Ipv4llAddress && std::memcmp(body + 8, own, 6) != 0) g_Ipv4llWatching = 0;
  }
  RestoreRecv();
  if (g_Ipv4llStopRequested == 0 && g_Ipv4llWatching == 0 && callback != nullptr) callback(0);
  g_Ipv4llMonitorDone = 1;
}

void ipv4ll_start_monitor(ipv4ll_callback callback) {
  if (g_MonitorHandle != 0) ipv4ll_stop_monitor();
  // The marks are set here, before the thread runs, so that a stop that comes before the thread's
  // first instruction is not lost.
  g_Ipv4llWatching = 1;
  g_Ipv4llStopRequested = 0;
  g_Ipv4llMonitorDone = 0;
  cyg_flag_maskbits(&g_Ipv4llArpEvent, 0);
  cyg_thread_create(10, ipv4ll_monitor_thread, reinterpret_cast<cyg_addrword_t>(callback), "IPv4LL Monitoring Thread",
                    g_MonitorStack, sizeof g_MonitorStack, &g_MonitorHandle, &g_MonitorThread);
  cyg_thread_resume(g_MonitorHandle);
}

void ipv4ll_stop_monitor() {
  if (g_MonitorHandle == 0) return;
  g_Ipv4llStopRequested = 1;
  // The monitor's wait has no time-out: the stop bit ends it on a link without ARP traffic.
  cyg_flag_setbits(&g_Ipv4llArpEvent, kIpv4llStopMonitor);
  while (g_Ipv4llMonitorDone == 0) cyg_thread_delay(100);
  cyg_thread_delete(g_MonitorHandle);
  g_MonitorHandle = 0;
  g_Ipv4llWatching = 0;
}

}  // namespace Torvex
