#include "engine/COSSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "engine/DoVovuriStatus.h"

namespace {

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  return sa;
}

// Waits until a non-blocking connect has finished; false on time-out.
bool WaitWritable(int fd, std::uint32_t timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int wait_ms = -1;
    if (timeout_ms != COSSocket::kNoTimeout) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      wait_ms = left.count() < 0 ? 0 : static_cast<int>(left.count());
    }
    pollfd p{fd, POLLOUT, 0};
    const int n = poll(&p, 1, wait_ms);
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return true;  // let SO_ERROR tell what happened
  }
}

}  // namespace

void COSSocket::CreateTcp(std::uint32_t* status) {
  fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  *status = fd == -1 ? kOsStatusSocketError : kStatusSuccess;
}

void COSSocket::Connect(std::uint32_t address, std::uint16_t port, std::uint32_t timeout_ms, std::uint32_t* status) {
  if (fd == -1) {
    *status = kOsStatusSocketError;
    return;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
    *status = kOsStatusSocketError;
    return;
  }
  const sockaddr_in sa = MakeAddress(address, port);
  int error = 0;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == -1) {
    error = errno;
    if (error == EINPROGRESS || error == EINTR) {
      if (!WaitWritable(fd, timeout_ms)) {
        fcntl(fd, F_SETFL, flags);
        *status = kOsStatusTimedOut;
        return;
      }
      socklen_t len = sizeof error;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == -1) error = errno;
    }
  }
  fcntl(fd, F_SETFL, flags);
  if (error != 0) {
    *status = error == EINTR ? kOsStatusTimedOut : kOsStatusSocketError;
    return;
  }
  sockaddr_in peer{};
  socklen_t peer_len = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) == 0) {
    peer_address = ntohl(peer.sin_addr.s_addr);
    peer_port = ntohs(peer.sin_port);
  }
  sockaddr_in local{};
  socklen_t local_len = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_len) == 0) {
    local_address = ntohl(local.sin_addr.s_addr);
    local_port = ntohs(local.sin_port);
  }
  *status = kStatusSuccess;
}

std::uint32_t COSSocket::Send(const void* buffer, std::uint32_t length, std::uint32_t* status) {
  ssize_t n;
  do {
    n = send(fd, buffer, length, MSG_NOSIGNAL);
  } while (n == -1 && errno == EINTR);
  if (n == -1) {
    *status = kOsStatusSocketError;
    return 0;
  }
  *status = kStatusSuccess;
  return static_cast<std::uint32_t>(n);
}

std::uint32_t COSSocket::SendAll(const void* buffer, std::uint32_t length, std::uint32_t timeout_ms,
                                 std::uint32_t* status) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  std::uint32_t done = 0;
  while (done < length) {
    const ssize_t n = send(fd, bytes + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::uint32_t>(n);
      continue;
    }
    if (n == -1 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      *status = kOsStatusSocketError;
      return done;
    }
    // The send buffer is full: wait for room while the time allows.
    int wait_ms = -1;
    if (timeout_ms != kNoTimeout) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        *status = kOsStatusTimedOut;
        return done;
      }
      wait_ms = static_cast<int>(left);
    }
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, wait_ms) == -1 && errno != EINTR) {
      *status = kOsStatusSocketError;
      return done;
    }
  }
  *status = kStatusSuccess;
  return done;
}

std::uint32_t COSSocket::Receive(void* buffer, std::uint32_t length, std::uint32_t* status) {
  if (fd == -1) {
    *status = kOsStatusSocketError;
    return 0;
  }
  ssize_t n;
  do {
    n = recv(fd, buffer, length, 0);
  } while (n == -1 && errno == EINTR);
  if (n <= 0) {
    *status = kOsStatusSocketError;
    return 0;
  }
  *status = kStatusSuccess;
  return static_cast<std::uint32_t>(n);
}

void COSSocket::Shutdown() {
  if (fd != -1) shutdown(fd, SHUT_RDWR);
}

void COSSocket::Close() {
  if (fd == -1) return;
  shutdown(fd, SHUT_RDWR);
  close(fd);
  fd = -1;
}

std::uint32_t HostToNet32(std::uint32_t value) { return __builtin_bswap32(value); }
std::uint32_t NetToHost32(std::uint32_t value) { return __builtin_bswap32(value); }
