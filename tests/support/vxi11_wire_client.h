// The VXI-11 wire as a client sees it: XDR words, call builders and a raw TCP/UDP client speaking
// record-marked ONC RPC on the loopback. Nothing of the firmware is included, so unit tests, whole-
// firmware tests and tools can share it. Every wait has a deadline; nothing here raises.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vxi11_test {

using Words = std::vector<std::uint32_t>;
using Bytes = std::vector<std::uint8_t>;

inline void Put(Bytes* out, std::uint32_t word) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<std::uint8_t>(word >> shift));
}

inline std::uint32_t Get(const Bytes& in, std::size_t offset) {
  if (offset + 4 > in.size()) return 0xDEADBEEF;
  return (std::uint32_t{in[offset]} << 24) | (std::uint32_t{in[offset + 1]} << 16) |
         (std::uint32_t{in[offset + 2]} << 8) | std::uint32_t{in[offset + 3]};
}

inline void PutOpaque(Bytes* out, const std::string& data) {
  Put(out, static_cast<std::uint32_t>(data.size()));
  out->insert(out->end(), data.begin(), data.end());
  while (out->size() % 4 != 0) out->push_back(0);
}

struct CallSpec {
  std::uint32_t xid = 0x11223344;
  std::uint32_t msg_type = 0;
  std::uint32_t rpcvers = 2;
  std::uint32_t prog = 0x0607AF;
  std::uint32_t vers = 1;
  std::uint32_t proc = 0;
  std::uint32_t cred_flavor = 0;
  Bytes cred;
  Bytes verf;
};

// A call message (without record mark): header, credential, verifier, then `args`.
inline Bytes Call(const CallSpec& spec, const Bytes& args = {}) {
  Bytes out;
  for (std::uint32_t w : {spec.xid, spec.msg_type, spec.rpcvers, spec.prog, spec.vers, spec.proc}) Put(&out, w);
  Put(&out, spec.cred_flavor);
  Put(&out, static_cast<std::uint32_t>(spec.cred.size()));
  out.insert(out.end(), spec.cred.begin(), spec.cred.end());
  while (out.size() % 4 != 0) out.push_back(0);
  Put(&out, 0);
  Put(&out, static_cast<std::uint32_t>(spec.verf.size()));
  out.insert(out.end(), spec.verf.begin(), spec.verf.end());
  while (out.size() % 4 != 0) out.push_back(0);
  out.insert(out.end(), args.begin(), args.end());
  return out;
}

inline Bytes ArgWords(const Words& words) {
  Bytes out;
  for (std::uint32_t w : words) Put(&out, w);
  return out;
}

// A socket of `type` (SOCK_STREAM, SOCK_DGRAM) bound to an ephemeral loopback port, which `*port`
// gets; -1 when no socket could be made.
inline int BindLoopback(int type, std::uint16_t* port) {
  const int fd = socket(AF_INET, type, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  *port = ntohs(sa.sin_port);
  return fd;
}

class RawClient {
 public:
  RawClient() = default;
  explicit RawClient(std::uint16_t port, bool udp = false) { Connect(port, udp); }
  ~RawClient() { Close(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  // `receive_buffer` (bytes, 0: the system's) is set before the connection is made, so that a client
  // that does not read fills up soon.
  bool Connect(std::uint16_t port, bool udp = false, int receive_buffer = 0) {
    Close();
    fd_ = socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    if (receive_buffer > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  }
  void Close() {
    if (fd_ != -1) close(fd_);
    fd_ = -1;
  }
  // Takes over a connected descriptor.
  void Adopt(int fd) {
    Close();
    fd_ = fd;
  }
  int fd() const { return fd_; }

  bool SendRaw(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  // One record of one last fragment.
  bool SendRecord(const Bytes& message) {
    Bytes out;
    Put(&out, 0x80000000u | static_cast<std::uint32_t>(message.size()));
    out.insert(out.end(), message.begin(), message.end());
    return SendRaw(out);
  }
  // Receives exactly n bytes within the time limit; false on close or time-out.
  bool ReceiveExact(std::uint8_t* out, std::size_t n, int timeout_ms = 5000) {
    std::size_t done = 0;
    while (done < n) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, timeout_ms) <= 0) return false;
      const ssize_t got = recv(fd_, out + done, n - done, 0);
      if (got <= 0) return false;
      done += static_cast<std::size_t>(got);
    }
    return true;
  }
  // Reads one reply record; `*mark` gets the record mark. Empty on failure.
  Bytes ReadRecord(std::uint32_t* mark = nullptr, int timeout_ms = 5000) {
    std::uint8_t head[4];
    if (!ReceiveExact(head, 4, timeout_ms)) return {};
    const std::uint32_t word = Get(Bytes(head, head + 4), 0);
    if (mark != nullptr) *mark = word;
    Bytes body(word & 0x7FFFFFFFu);
    if (!body.empty() && !ReceiveExact(body.data(), body.size(), timeout_ms)) return {};
    return body;
  }
  Bytes Exchange(const Bytes& message, std::uint32_t* mark = nullptr) {
    if (!SendRecord(message)) return {};
    return ReadRecord(mark);
  }
  // True when the peer closed the connection within the limit.
  bool PeerClosed(int timeout_ms = 5000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    std::uint8_t byte;
    return recv(fd_, &byte, 1, MSG_PEEK) == 0;
  }
  // UDP: one datagram and its answer.
  Bytes Datagram(const Bytes& message, int timeout_ms = 5000) {
    send(fd_, message.data(), message.size(), 0);
    return ReceiveDatagram(timeout_ms);
  }
  Bytes ReceiveDatagram(int timeout_ms = 5000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return {};
    Bytes in(65536);
    const ssize_t n = recv(fd_, in.data(), in.size(), 0);
    if (n <= 0) return {};
    in.resize(static_cast<std::size_t>(n));
    return in;
  }

 private:
  int fd_ = -1;
};

}  // namespace vxi11_test
