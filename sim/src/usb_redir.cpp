#include "sim/usb_redir.h"

#include <cstdio>

#if TORVEX_HAVE_USBREDIR

#include "usb_redir_session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "sim/usb_device.h"

namespace sim {

using redir::Session;

void UsbRedirServer::Impl::RunSession(int fd) {
  sessions.fetch_add(1);
  Session session(*this, fd);
  if (!session.Init()) {
    Say("cannot set up the connection's parser");
    return;
  }
  session.Run();
}

void UsbRedirServer::Impl::Serve() {
  while (!stopping.load()) {
    pollfd fds[2] = {};
    fds[0].fd = listen_fd;
    fds[0].events = POLLIN;
    fds[1].fd = stop_fd;
    fds[1].events = POLLIN;
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      Say(std::string("poll failed: ") + std::strerror(errno));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    if ((fds[1].revents & POLLIN) != 0) break;
    if ((fds[0].revents & POLLIN) == 0) continue;
    const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
        Say(std::string("accept failed: ") + std::strerror(errno));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    RunSession(fd);
    ::close(fd);
    Say("connection ended; waiting for the next");
  }
}

UsbRedirServer::UsbRedirServer(UsbDeviceController& device, Log log)
    : impl_(std::make_unique<Impl>(device, std::move(log))) {}

UsbRedirServer::~UsbRedirServer() { Stop(); }

bool UsbRedirServer::Available() { return true; }

bool UsbRedirServer::Start(std::uint16_t port, std::string* error) {
  Impl& m = *impl_;
  if (m.server.joinable()) {
    *error = "already started";
    return false;
  }
  m.listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (m.listen_fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  const int one = 1;
  ::setsockopt(m.listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  if (::bind(m.listen_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(m.listen_fd, 4) != 0 ||
      ::getsockname(m.listen_fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    *error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
    ::close(m.listen_fd);
    m.listen_fd = -1;
    return false;
  }
  m.port = ntohs(a.sin_port);
  m.stop_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (m.stop_fd < 0) {
    *error = std::string("eventfd: ") + std::strerror(errno);
    ::close(m.listen_fd);
    m.listen_fd = -1;
    return false;
  }
  m.stopping.store(false);
  m.server = std::thread([&m] { m.Serve(); });
  return true;
}

std::uint16_t UsbRedirServer::Port() const { return impl_->port; }

void UsbRedirServer::Stop() {
  Impl& m = *impl_;
  if (!m.server.joinable()) return;
  m.stopping.store(true);
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(m.stop_fd, &one, sizeof one);
  m.server.join();
  ::close(m.listen_fd);
  ::close(m.stop_fd);
  m.listen_fd = m.stop_fd = -1;
}

unsigned UsbRedirServer::Sessions() const { return impl_->sessions.load(); }
unsigned UsbRedirServer::Announcements() const { return impl_->announcements.load(); }

}  // namespace sim

#else  // without libusbredirparser

namespace sim {

struct UsbRedirServer::Impl {};

UsbRedirServer::UsbRedirServer(UsbDeviceController&, Log) {}
UsbRedirServer::~UsbRedirServer() = default;
bool UsbRedirServer::Available() { return false; }
bool UsbRedirServer::Start(std::uint16_t, std::string* error) {
  *error = "built without libusbredirparser (Debian: libusbredirparser-dev)";
  return false;
}
std::uint16_t UsbRedirServer::Port() const { return 0; }
void UsbRedirServer::Stop() {}
unsigned UsbRedirServer::Sessions() const { return 0; }
unsigned UsbRedirServer::Announcements() const { return 0; }

}  // namespace sim

#endif
