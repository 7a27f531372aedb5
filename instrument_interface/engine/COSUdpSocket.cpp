#include "engine/COSUdpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "engine/DoVovuriStatus.h"

void COSUdpSocket::Create(std::uint32_t* status) {
  fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  *status = fd == -1 ? kOsStatusSocketError : kStatusSuccess;
}

void COSUdpSocket::Bind(std::uint16_t port, std::uint32_t* status, std::uint32_t address) {
  *status = kOsStatusSocketError;
  if (fd == -1) return;
  int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == -1) return;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == -1) return;
  *status = kStatusSuccess;
}

std::uint16_t COSUdpSocket::LocalPort() const {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (fd == -1 || getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == -1) return 0;
  return ntohs(sa.sin_port);
}

std::uint32_t COSUdpSocket::SendTo(const void* buffer, std::uint32_t length, std::uint32_t address, std::uint16_t port,
                                   std::uint32_t* status) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  ssize_t n;
  do {
    n = sendto(fd, buffer, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  } while (n == -1 && errno == EINTR);
  if (n == -1) {
    *status = kOsStatusSocketError;
    return 0;
  }
  *status = kStatusSuccess;
  return static_cast<std::uint32_t>(n);
}

std::uint32_t COSUdpSocket::ReceiveFrom(void* buffer, std::uint32_t size, std::uint32_t timeout_ms,
                                        std::uint32_t* sender_address, std::uint16_t* sender_port,
                                        std::uint32_t* status) {
  *status = kOsStatusSocketError;
  if (fd == -1) return 0;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int wait_ms = -1;
    if (timeout_ms != kNoTimeout) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      wait_ms = left.count() < 0 ? 0 : static_cast<int>(left.count());
    }
    pollfd p{fd, POLLIN, 0};
    const int n = poll(&p, 1, wait_ms);
    if (n == 0) {
      *status = kOsStatusTimedOut;
      return 0;
    }
    if (n > 0) break;
    if (errno != EINTR) return 0;
  }
  sockaddr_in from{};
  socklen_t from_len = sizeof from;
  ssize_t n;
  do {
    from_len = sizeof from;
    n = recvfrom(fd, buffer, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &from_len);
  } while (n == -1 && errno == EINTR);
  if (n <= 0) return 0;
  if (sender_address != nullptr) *sender_address = ntohl(from.sin_addr.s_addr);
  if (sender_port != nullptr) *sender_port = ntohs(from.sin_port);
  *status = kStatusSuccess;
  return static_cast<std::uint32_t>(n);
}

void COSUdpSocket::Shutdown() {
  if (fd != -1) shutdown(fd, SHUT_RDWR);
}

void COSUdpSocket::Close() {
  if (fd == -1) return;
  shutdown(fd, SHUT_RDWR);
  close(fd);
  fd = -1;
}
