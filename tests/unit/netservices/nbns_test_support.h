// Helpers of the name server tests: UDP sockets on the loopback interface, the interface address in
// a small parameter tree, and the name server's state set up for driving its handlers directly.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "netservices/nbns_packet.h"
#include "netservices/nbns_state.h"
#include "platform/kernel.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace nbns_test {

inline std::uint32_t Address(const char* dotted) { return inet_addr(dotted); }

// A UDP socket bound to 127.0.0.1 (or any address) on `port` (0: any free port).
class UdpSocket {
 public:
  // `bind_address` "0.0.0.0" receives on every local address; a broadcast address receives only the
  // broadcasts to it, beside a server bound to the same port (both need SO_REUSEADDR).
  explicit UdpSocket(std::uint16_t port = 0, const char* bind_address = "127.0.0.1", bool reuse = false) {
    m_Fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(m_Fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    if (reuse) setsockopt(m_Fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = Address(bind_address);
    m_Bound = bind(m_Fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
  }
  ~UdpSocket() {
    if (m_Fd >= 0) close(m_Fd);
  }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  int Fd() const { return m_Fd; }
  bool Bound() const { return m_Bound; }
  std::uint16_t Port() const {
    sockaddr_in local{};
    socklen_t size = sizeof local;
    getsockname(m_Fd, reinterpret_cast<sockaddr*>(&local), &size);
    return ntohs(local.sin_port);
  }
  bool SendTo(const std::vector<std::uint8_t>& bytes, std::uint16_t port, const char* to = "127.0.0.1") const {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = Address(to);
    return sendto(m_Fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address) ==
           static_cast<ssize_t>(bytes.size());
  }
  // The next datagram, waiting at most `limit`; nothing when none arrives in time.
  std::optional<std::vector<std::uint8_t>> Receive(std::chrono::milliseconds limit) const {
    pollfd fd{m_Fd, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
    std::vector<std::uint8_t> bytes(2048);
    const ssize_t n = recv(m_Fd, bytes.data(), bytes.size(), MSG_DONTWAIT);
    if (n < 0) return std::nullopt;
    bytes.resize(static_cast<std::size_t>(n));
    return bytes;
  }
  // A datagram already queued (loopback sends are queued before sendto returns).
  std::optional<std::vector<std::uint8_t>> ReceiveNow() const { return Receive(std::chrono::milliseconds(0)); }
  // Waits until a datagram for which `match` holds arrives (others are skipped).
  template <typename Match>
  std::optional<std::vector<std::uint8_t>> ReceiveMatching(Match match, std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto bytes = Receive(left);
      if (bytes && match(*bytes)) return bytes;
    }
  }

 private:
  int m_Fd = -1;
  bool m_Bound = false;
};

// The interface address as the network configuration publishes it, in a tree of its own.
class InterfaceTree {
 public:
  InterfaceTree(const char* address, const char* netmask)
      : m_Root(new Torvex::CParameterNode("root", Torvex::eNodeType::Branch)) {
    Torvex::CParameterNode* node = nullptr;
    m_Root->FindOrCreateNode("comm_parms/ethernet/ip_address", Torvex::eNodeType::String, &node);
    node->SetStringAttribute(Torvex::eAttrValue, address);
    Torvex::g_node_comm_parms_ethernet_ip_address = node;
    m_Root->FindOrCreateNode("comm_parms/ethernet/net_mask", Torvex::eNodeType::String, &node);
    node->SetStringAttribute(Torvex::eAttrValue, netmask);
    Torvex::g_node_comm_parms_ethernet_net_mask = node;
  }
  ~InterfaceTree() {
    Torvex::g_node_comm_parms_ethernet_ip_address = nullptr;
    Torvex::g_node_comm_parms_ethernet_net_mask = nullptr;
  }

 private:
  std::unique_ptr<Torvex::CParameterNode> m_Root;
};

inline std::uint16_t TrnId(const std::vector<std::uint8_t>& p) {
  return p.size() >= 2 ? static_cast<std::uint16_t>((p[0] << 8) | p[1]) : 0;
}

// The first NB_ADDRESS of an answer, dotted.
inline std::string AnsweredAddress(const std::vector<std::uint8_t>& p) {
  std::uint32_t address = 0;
  if (!Torvex::nbns_read_first_address({p.data(), p.size()}, &address)) return "";
  in_addr a{};
  a.s_addr = address;
  return inet_ntoa(a);
}

inline std::vector<std::uint8_t> Hex(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  std::string digits;
  for (char c : text) {
    if (c != ' ') digits += c;
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

inline std::vector<std::uint8_t> Concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

inline std::vector<std::uint8_t> Text(const std::string& text) { return {text.begin(), text.end()}; }

}  // namespace nbns_test
