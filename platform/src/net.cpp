// Network support of the board (see platform/net.h): interface state, interface requests, the
// Ethernet driver of eth0 and its receive path. The DHCP client is in net_dhcp.cpp.
#include "platform/net.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <vector>

#include "net_internal.h"

const char eth0_name[] = "eth0";
std::atomic<bool> eth0_up{false};
bootp eth0_bootp_data{};
std::uint8_t eth0_dhcpstate = DHCPSTATE_INIT;
dhcp_lease eth0_lease{};
namespace {
alignas(cyg_sem_t) unsigned char g_attention_storage[sizeof(cyg_sem_t)];
}  // namespace
cyg_sem_t& dhcp_needs_attention = *new (g_attention_storage) cyg_sem_t;

namespace platform::net {
namespace {

std::atomic<Backend*> g_backend{nullptr};

// Descriptors of the stack's interface-request sockets.
std::mutex g_socket_lock;
std::set<int> g_sockets;
int g_next_socket = 1;

// The frame the driver is receiving, for its receive entry (one receive at a time).
std::mutex g_receive_lock;
thread_local const std::uint8_t* t_receiving = nullptr;
thread_local std::size_t t_receiving_length = 0;

int DriverCanSend(eth_drv_sc*) {
  Backend* b = g_backend.load();
  return b != nullptr && b->CanSend() ? 1 : 0;
}

void DriverSend(eth_drv_sc*, eth_drv_sg* sg_list, int sg_len, int total_len, unsigned long) {
  Backend* b = g_backend.load();
  if (b == nullptr || sg_list == nullptr || sg_len <= 0 || total_len <= 0 || total_len > 1518) return;
  std::vector<std::uint8_t> frame;
  frame.reserve(static_cast<std::size_t>(total_len));
  for (int i = 0; i < sg_len; ++i) {
    if (sg_list[i].len <= 0) continue;
    const auto* p = reinterpret_cast<const std::uint8_t*>(sg_list[i].buf);
    frame.insert(frame.end(), p, p + sg_list[i].len);
  }
  if (frame.size() > static_cast<std::size_t>(total_len)) frame.resize(static_cast<std::size_t>(total_len));
  b->SendFrame(frame.data(), frame.size());
}

// The driver's own receive entry: copies the frame being received into the scatter list, each
// element filled up to its length.
void DriverRecv(eth_drv_sc*, eth_drv_sg* sg_list, int sg_len) {
  std::size_t offset = 0;
  for (int i = 0; i < sg_len && offset < t_receiving_length; ++i) {
    if (sg_list[i].len <= 0 || sg_list[i].buf == 0) continue;
    const std::size_t n = std::min(static_cast<std::size_t>(sg_list[i].len), t_receiving_length - offset);
    std::memcpy(reinterpret_cast<void*>(sg_list[i].buf), t_receiving + offset, n);
    offset += n;
  }
}

eth_hwr_funs g_eth0_funs{DriverCanSend, DriverSend, {DriverRecv}};
eth_drv_sc g_eth0{&g_eth0_funs, eth0_name};

struct SemaphoreInit {
  SemaphoreInit() { cyg_semaphore_init(&dhcp_needs_attention, 0); }
};
[[maybe_unused]] SemaphoreInit g_semaphore_init;

}  // namespace

Backend* CurrentBackend() { return g_backend.load(); }

void InstallBackend(Backend* backend) { g_backend.store(backend); }
Backend* InstalledBackend() { return g_backend.load(); }

void ReceiveFrame(const std::uint8_t* frame, std::size_t length) {
  constexpr std::size_t kHeader = 14;
  if (frame == nullptr || length < kHeader) return;
  std::lock_guard<std::mutex> g(g_receive_lock);
  // The stack's buffers for this frame: header and body.
  std::uint8_t header[kHeader] = {};
  std::vector<std::uint8_t> body(length - kHeader);
  eth_drv_sg sg[2] = {{reinterpret_cast<cyg_addrword_t>(header), static_cast<cyg_int32>(kHeader)},
                      {reinterpret_cast<cyg_addrword_t>(body.data()), static_cast<cyg_int32>(body.size())}};
  t_receiving = frame;
  t_receiving_length = length;
  g_eth0.funs->recv.load()(&g_eth0, sg, body.empty() ? 1 : 2);
  t_receiving = nullptr;
  t_receiving_length = 0;
  std::vector<std::uint8_t> delivered(header, header + kHeader);
  delivered.insert(delivered.end(), body.begin(), body.end());
  if (Backend* b = g_backend.load()) b->StackInput(delivered.data(), delivered.size());
}

int socket(int domain, int, int) {
  if (domain != AF_INET) {
    errno = EAFNOSUPPORT;
    return -1;
  }
  std::lock_guard<std::mutex> g(g_socket_lock);
  const int fd = g_next_socket++;
  g_sockets.insert(fd);
  return fd;
}

int ioctl(int fd, unsigned long request, void* arg) {
  {
    std::lock_guard<std::mutex> g(g_socket_lock);
    if (g_sockets.count(fd) == 0) {
      errno = EBADF;
      return -1;
    }
  }
  auto* req = static_cast<ifreq*>(arg);
  if (req == nullptr) {
    errno = EFAULT;
    return -1;
  }
  if (strncmp(req->ifr_name, eth0_name, IFNAMSIZ) != 0) {
    errno = ENODEV;
    return -1;
  }
  Backend* b = g_backend.load();
  if (b == nullptr) {
    errno = ENODEV;
    return -1;
  }
  std::uint8_t mac[6];
  switch (request) {
    case SIOCSIFHWADDR:
      std::memcpy(mac, req->ifr_hwaddr.sa_data, 6);
      if (!b->SetHardwareAddress(mac)) {
        errno = EIO;
        return -1;
      }
      return 0;
    case SIOCGIFHWADDR:
      if (!b->GetHardwareAddress(mac)) {
        errno = EIO;
        return -1;
      }
      std::memcpy(req->ifr_hwaddr.sa_data, mac, 6);
      return 0;
    default: errno = EINVAL; return -1;
  }
}

int close(int fd) {
  std::lock_guard<std::mutex> g(g_socket_lock);
  if (g_sockets.erase(fd) == 0) {
    errno = EBADF;
    return -1;
  }
  return 0;
}

void AddressText(std::uint32_t address, char* out) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(&address);
  std::snprintf(out, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

bool ParseAddress(const char* text, std::uint32_t* address) {
  *address = 0;
  if (text == nullptr) return false;
  in_addr a{};
  if (inet_pton(AF_INET, text, &a) != 1) return false;
  *address = a.s_addr;
  return true;
}

const std::uint8_t* FindDhcpOption(const std::uint8_t* options, std::size_t size, std::uint8_t tag,
                                   std::uint8_t* length) {
  std::size_t i = 0;
  while (i < size) {
    const std::uint8_t t = options[i];
    if (t == kDhcpOptionEnd) break;
    if (t == kDhcpOptionPad) {
      ++i;
      continue;
    }
    if (i + 1 >= size) break;
    const std::uint8_t len = options[i + 1];
    if (i + 2 + len > size) break;
    if (t == tag) {
      *length = len;
      return options + i + 2;
    }
    i += 2 + static_cast<std::size_t>(len);
  }
  *length = 0;
  return nullptr;
}

// Class mask of an address (network order), for records without a subnet-mask option.
std::uint32_t ClassMask(std::uint32_t address) {
  const std::uint8_t first = static_cast<std::uint8_t>(ntohl(address) >> 24);
  if (first < 128) return htonl(0xFF000000u);
  if (first < 192) return htonl(0xFFFF0000u);
  return htonl(0xFFFFFF00u);
}

}  // namespace platform::net

using namespace platform::net;

bool init_net(const char* intf, bootp* bp) {
  Backend* b = CurrentBackend();
  if (b == nullptr || bp == nullptr || intf == nullptr || std::strcmp(intf, eth0_name) != 0) return false;
  InterfaceConfig c;
  c.address = bp->bp_yiaddr.s_addr;
  if (c.address == 0) return false;
  const bool cookie = std::memcmp(bp->bp_vend, kDhcpMagicCookie, sizeof kDhcpMagicCookie) == 0;
  std::uint8_t len = 0;
  const std::uint8_t* v = nullptr;
  c.mask = ClassMask(c.address);
  c.gateway = bp->bp_giaddr.s_addr;
  bool have_broadcast = false;
  if (cookie) {
    const std::uint8_t* opts = bp->bp_vend + 4;
    const std::size_t size = kBootpVendorSize - 4;
    if ((v = FindDhcpOption(opts, size, kDhcpOptionSubnetMask, &len)) != nullptr && len >= 4)
      std::memcpy(&c.mask, v, 4);
    if ((v = FindDhcpOption(opts, size, kDhcpOptionBroadcastAddress, &len)) != nullptr && len >= 4) {
      std::memcpy(&c.broadcast, v, 4);
      have_broadcast = true;
    }
    if ((v = FindDhcpOption(opts, size, kDhcpOptionRouter, &len)) != nullptr && len >= 4) std::memcpy(&c.gateway, v, 4);
  }
  if (!have_broadcast) c.broadcast = (c.address & c.mask) | ~c.mask;
  if (!b->Configure(c)) return false;
  eth0_up = true;
  return true;
}

void build_bootp_record(bootp* bp, const char*, const char* ip, const char* mask, const char* broadcast,
                        const char* gateway, const char* server) {
  std::memset(bp, 0, sizeof *bp);
  std::uint32_t a = 0;
  bp->bp_op = 2;
  bp->bp_htype = 1;
  bp->bp_hlen = 6;
  ParseAddress(ip, &a);
  bp->bp_yiaddr.s_addr = a;
  ParseAddress(gateway, &a);
  bp->bp_giaddr.s_addr = a;
  ParseAddress(server, &a);
  bp->bp_siaddr.s_addr = a;
  std::uint8_t* v = bp->bp_vend;
  const std::uint8_t cookie[4] = {99, 130, 83, 99};
  std::memcpy(v, cookie, 4);
  std::size_t i = 4;
  std::uint32_t m = 0;
  if (ParseAddress(mask, &m)) {
    v[i++] = 1;
    v[i++] = 4;
    std::memcpy(v + i, &m, 4);
    i += 4;
  }
  std::uint32_t bc = 0;
  if (ParseAddress(broadcast, &bc)) {
    v[i++] = 28;
    v[i++] = 4;
    std::memcpy(v + i, &bc, 4);
    i += 4;
  }
  v[i] = 255;
}

bool init_loopback_interface(int) {
  Backend* b = CurrentBackend();
  return b != nullptr && b->LoopbackUp();
}

eth_drv_sc* const netdev_table[] = {&platform::net::g_eth0, nullptr};
