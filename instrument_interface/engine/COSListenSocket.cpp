#include "engine/COSListenSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "engine/DoVovuriStatus.h"

void COSListenSocket::CreateTcp(std::uint32_t* status) {
  fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  *status = fd == -1 ? kOsStatusSocketError : kStatusSuccess;
}

void COSListenSocket::BindAndListen(std::uint16_t bind_port, std::uint32_t* status, std::uint32_t bind_address) {
  *status = kOsStatusSocketError;
  if (fd == -1) return;
  int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == -1) return;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(bind_address);
  sa.sin_port = htons(bind_port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == -1) return;
  if (listen(fd, 128) == -1) return;
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) == -1) return;
  address = ntohl(bound.sin_addr.s_addr);
  port = ntohs(bound.sin_port);
  *status = kStatusSuccess;
}

COSSocket COSListenSocket::Accept(COSListenSocket* listen_socket, std::uint32_t* status) {
  COSSocket accepted;
  *status = kOsStatusSocketError;
  if (listen_socket == nullptr || listen_socket->fd == -1) return accepted;
  sockaddr_in peer{};
  socklen_t peer_len = sizeof peer;
  int fd;
  do {
    peer_len = sizeof peer;
    fd = accept4(listen_socket->fd, reinterpret_cast<sockaddr*>(&peer), &peer_len, SOCK_CLOEXEC);
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) return accepted;
  accepted.fd = fd;
  accepted.peer_address = ntohl(peer.sin_addr.s_addr);
  accepted.peer_port = ntohs(peer.sin_port);
  sockaddr_in local{};
  socklen_t local_len = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_len) == 0) {
    accepted.local_address = ntohl(local.sin_addr.s_addr);
    accepted.local_port = ntohs(local.sin_port);
  }
  *status = kStatusSuccess;
  return accepted;
}

void COSListenSocket::Shutdown() {
  if (fd != -1) shutdown(fd, SHUT_RDWR);
}

void COSListenSocket::Close() {
  if (fd == -1) return;
  shutdown(fd, SHUT_RDWR);
  close(fd);
  fd = -1;
}
