// A loopback port for a server a test starts in another process (a board's own portmapper), free for
// TCP and UDP just now. It is taken below the kernel's ephemeral range: a port from that range (what
// binding port 0 hands out) can be given at any moment to an outgoing connection of another test
// running beside, and the board then fails to bind it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <random>

namespace torvex_test {

inline bool LoopbackPortIsFree(std::uint16_t port, int type) {
  const int fd = ::socket(AF_INET, type, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return free;
}

// 0 when no free port was found.
inline std::uint16_t FreeLoopbackPort() {
  int ephemeral_low = 32768;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> ephemeral_low;
  const int low = 10000;
  const int high = ephemeral_low > low + 1000 ? ephemeral_low - 1 : 30000;
  std::random_device seed;
  std::mt19937 pick(seed());
  std::uniform_int_distribution<int> port_of(low, high);
  for (int attempt = 0; attempt < 500; ++attempt) {
    const auto port = static_cast<std::uint16_t>(port_of(pick));
    if (LoopbackPortIsFree(port, SOCK_STREAM) && LoopbackPortIsFree(port, SOCK_DGRAM)) return port;
  }
  return 0;
}

}  // namespace torvex_test
