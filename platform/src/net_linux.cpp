// The Linux back end of the board's network support: a real interface of the process's network
// namespace (meant for a namespace a test made, with a veth end named eth0). Interface requests go
// through an Internet datagram socket, DHCP through a UDP socket bound to the interface (port 68),
// Ethernet frames (ARP) through a packet socket whose receive thread feeds the driver's receive path.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <net/route.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "net_internal.h"
#include "platform/net.h"

namespace platform::net {
namespace {

class LinuxBackend final : public Backend {
 public:
  explicit LinuxBackend(const std::string& interface) : name_(interface) {}

  ~LinuxBackend() override {
    stop_ = true;
    if (wake_[1] >= 0) {
      const char c = 0;
      (void)::write(wake_[1], &c, 1);
    }
    if (receiver_.joinable()) receiver_.join();
    for (int fd : {packet_, control_, dhcp_, wake_[0], wake_[1]}) {
      if (fd >= 0) ::close(fd);
    }
  }

  bool Open(std::string& error) {
    if (name_.size() >= IFNAMSIZ) {
      error = "interface name too long";
      return false;
    }
    index_ = static_cast<int>(if_nametoindex(name_.c_str()));
    if (index_ == 0) {
      error = "no interface " + name_;
      return false;
    }
    control_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    packet_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ARP));
    if (control_ < 0 || packet_ < 0 || ::pipe2(wake_, O_CLOEXEC) != 0) {
      error = std::string("sockets: ") + std::strerror(errno);
      return false;
    }
    sockaddr_ll ll{};
    ll.sll_family = AF_PACKET;
    ll.sll_protocol = htons(ETH_P_ARP);
    ll.sll_ifindex = index_;
    if (::bind(packet_, reinterpret_cast<sockaddr*>(&ll), sizeof ll) != 0) {
      error = std::string("packet socket: ") + std::strerror(errno);
      return false;
    }
    receiver_ = std::thread([this] { Receive(); });
    return true;
  }

  bool SetHardwareAddress(const std::uint8_t mac[6]) override {
    std::uint8_t current[6];
    if (GetHardwareAddress(current) && std::memcmp(current, mac, 6) == 0) return true;
    ifreq r = Request();
    r.ifr_hwaddr.sa_family = ARPHRD_ETHER;
    std::memcpy(r.ifr_hwaddr.sa_data, mac, 6);
    if (::ioctl(control_, SIOCSIFHWADDR, &r) == 0) return true;
    if (errno != EBUSY) return false;
    // Some drivers take a new address only while the interface is down.
    const short flags = Flags();
    SetFlags(static_cast<short>(flags & ~IFF_UP));
    const bool ok = ::ioctl(control_, SIOCSIFHWADDR, &r) == 0;
    SetFlags(flags);
    return ok;
  }

  bool GetHardwareAddress(std::uint8_t mac[6]) override {
    ifreq r = Request();
    if (::ioctl(control_, SIOCGIFHWADDR, &r) != 0) return false;
    std::memcpy(mac, r.ifr_hwaddr.sa_data, 6);
    return true;
  }

  bool Configure(const InterfaceConfig& c) override {
    if (!SetAddress(SIOCSIFADDR, c.address) || !SetAddress(SIOCSIFNETMASK, c.mask) ||
        !SetAddress(SIOCSIFBRDADDR, c.broadcast) || !SetFlags(static_cast<short>(Flags() | IFF_UP))) {
      return false;
    }
    if (c.gateway != 0) {
      rtentry route{};
      auto* dst = reinterpret_cast<sockaddr_in*>(&route.rt_dst);
      auto* gw = reinterpret_cast<sockaddr_in*>(&route.rt_gateway);
      auto* mask = reinterpret_cast<sockaddr_in*>(&route.rt_genmask);
      dst->sin_family = gw->sin_family = mask->sin_family = AF_INET;
      gw->sin_addr.s_addr = c.gateway;
      route.rt_flags = RTF_UP | RTF_GATEWAY;
      route.rt_dev = const_cast<char*>(name_.c_str());
      if (::ioctl(control_, SIOCADDRT, &route) != 0 && errno != EEXIST) {
        // An unreachable gateway leaves the interface usable on its own network.
      }
    }
    return true;
  }

  void Down() override {
    SetAddress(SIOCSIFADDR, 0);
    SetFlags(static_cast<short>(Flags() & ~IFF_UP));
  }

  bool LoopbackUp() override {
    ifreq r{};
    std::strncpy(r.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(control_, SIOCGIFFLAGS, &r) != 0) return false;
    r.ifr_flags = static_cast<short>(r.ifr_flags | IFF_UP);
    return ::ioctl(control_, SIOCSIFFLAGS, &r) == 0;
  }

  bool DhcpOpen() override {
    if (!SetFlags(static_cast<short>(Flags() | IFF_UP))) return false;
    dhcp_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (dhcp_ < 0) return false;
    const int one = 1;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(68);
    if (::setsockopt(dhcp_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::setsockopt(dhcp_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0 ||
        ::setsockopt(dhcp_, SOL_SOCKET, SO_BINDTODEVICE, name_.c_str(), static_cast<socklen_t>(name_.size())) != 0 ||
        ::bind(dhcp_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
      DhcpClose();
      return false;
    }
    return true;
  }

  bool DhcpSend(const std::uint8_t* message, std::size_t length, std::uint32_t destination) override {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(67);
    to.sin_addr.s_addr = destination;
    return ::sendto(dhcp_, message, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(length);
  }

  int DhcpReceive(std::uint8_t* buffer, std::size_t capacity, cyg_tick_count_t deadline) override {
    for (;;) {
      const cyg_tick_count_t now = cyg_current_time();
      if (now >= deadline) return -1;
      const std::uint64_t ms = (deadline - now) * kernel::TickMicroseconds() / 1000 + 1;
      pollfd p{dhcp_, POLLIN, 0};
      const int r = ::poll(&p, 1, static_cast<int>(std::min<std::uint64_t>(ms, 60000)));
      if (r < 0 && errno != EINTR) return -1;
      if (r <= 0) continue;
      const ssize_t n = ::recv(dhcp_, buffer, capacity, 0);
      if (n >= 0) return static_cast<int>(n);
    }
  }

  void DhcpClose() override {
    if (dhcp_ >= 0) ::close(dhcp_);
    dhcp_ = -1;
  }

  bool CanSend() override { return true; }

  void SendFrame(const std::uint8_t* frame, std::size_t length) override {
    if (length < 14) return;
    sockaddr_ll ll{};
    ll.sll_family = AF_PACKET;
    ll.sll_ifindex = index_;
    ll.sll_halen = 6;
    std::memcpy(ll.sll_addr, frame, 6);
    ll.sll_protocol = htons(ETH_P_ARP);
    (void)::sendto(packet_, frame, length, 0, reinterpret_cast<sockaddr*>(&ll), sizeof ll);
  }

  // The kernel's stack has its own copy of every frame.
  void StackInput(const std::uint8_t*, std::size_t) override {}

 private:
  ifreq Request() const {
    ifreq r{};
    std::strncpy(r.ifr_name, name_.c_str(), IFNAMSIZ - 1);
    return r;
  }
  short Flags() {
    ifreq r = Request();
    return ::ioctl(control_, SIOCGIFFLAGS, &r) == 0 ? r.ifr_flags : 0;
  }
  bool SetFlags(short flags) {
    ifreq r = Request();
    r.ifr_flags = flags;
    return ::ioctl(control_, SIOCSIFFLAGS, &r) == 0;
  }
  bool SetAddress(unsigned long request, std::uint32_t address) {
    ifreq r = Request();
    auto* in = reinterpret_cast<sockaddr_in*>(&r.ifr_addr);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = address;
    return ::ioctl(control_, request, &r) == 0 || (address == 0 && request == SIOCSIFADDR);
  }

  void Receive() {
    std::uint8_t frame[2048];
    while (!stop_) {
      pollfd p[2] = {{packet_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (::poll(p, 2, -1) < 0) continue;
      if (p[1].revents != 0) break;
      sockaddr_ll from{};
      socklen_t from_length = sizeof from;
      const ssize_t n = ::recvfrom(packet_, frame, sizeof frame, 0, reinterpret_cast<sockaddr*>(&from), &from_length);
      if (n < 0) {
        ::usleep(10000);  // the interface is down: nothing arrives until it is up again
        continue;
      }
      if (n == 0 || from.sll_pkttype == PACKET_OUTGOING) continue;
      ReceiveFrame(frame, static_cast<std::size_t>(n));
    }
  }

  std::string name_;
  int index_ = 0;
  int control_ = -1;
  int packet_ = -1;
  int dhcp_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::thread receiver_;
};

}  // namespace

std::unique_ptr<Backend> MakeLinuxBackend(const std::string& interface, std::string& error) {
  auto backend = std::make_unique<LinuxBackend>(interface);
  if (!backend->Open(error)) return nullptr;
  return backend;
}

}  // namespace platform::net
