#include "vxi11/CMiniPortMapper.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

#include "vxi11/CVxi11Backoff.h"
#include "vxi11/Vxi11Rpc.h"
#include "vxi11/Vxi11Status.h"

namespace {

constexpr std::uint32_t kProcGetPort = 3;
constexpr std::uint32_t kProtocolTcp = 6;
constexpr std::uint32_t kUdpWaitMs = 5000;

// GETPORT's argument: the mapping asked for (its port word is not used).
struct GetPortArgs {
  std::uint32_t program;
  std::uint32_t version;
  std::uint32_t protocol;
  std::uint32_t port;
};

using Clock = std::chrono::steady_clock;

}  // namespace

// One TCP client: what it has sent and not yet been answered, and when its next call is due.
struct CMiniPortMapper::TcpConnection {
  // Room for a whole call of the largest size answered, with record marks, and a few calls behind it.
  static constexpr std::uint32_t kReceiveSize = 2 * kBufferSize;

  COSSocket socket;
  Clock::time_point deadline;
  std::uint32_t used = 0;
  std::uint8_t received[kReceiveSize];
};

CMiniPortMapper::CMiniPortMapper(std::uint16_t port, std::uint32_t* status, std::uint16_t listen_port,
                                 std::uint32_t bind_address, std::uint32_t receive_timeout_ms)
    : port_(port), receive_timeout_ms_(receive_timeout_ms) {
  tcp_buffer_ = new (std::nothrow) std::uint8_t[kBufferSize];
  udp_buffer_ = new (std::nothrow) std::uint8_t[kBufferSize];
  if (tcp_buffer_ == nullptr || udp_buffer_ == nullptr) {
    *status = kStatusOutOfMemory;
    return;
  }
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  std::uint32_t os_status = wake_fd_ == -1 ? 7 : 0;
  if (os_status == 0) tcp_listen_.CreateTcp(&os_status);
  if (os_status == 0) tcp_listen_.BindAndListen(listen_port, &os_status, bind_address);
  // The TCP thread waits in poll only; an accept must never block it.
  if (os_status == 0) {
    const int flags = fcntl(tcp_listen_.fd, F_GETFL);
    if (flags == -1 || fcntl(tcp_listen_.fd, F_SETFL, flags | O_NONBLOCK) == -1) os_status = 7;
  }
  if (os_status == 0) udp_.Create(&os_status);
  // Both protocols on the same port number (an ephemeral TCP port is reused for UDP).
  if (os_status == 0) udp_.Bind(tcp_listen_.GetPort(), &os_status, bind_address);
  if (os_status != 0) {
    *status = kStatusNotReported;
    return;
  }
  tcp_thread_ = new (std::nothrow) Thread(&tcp_functor_);
  udp_thread_ = new (std::nothrow) Thread(&udp_functor_);
  if (tcp_thread_ == nullptr || udp_thread_ == nullptr) {
    *status = kStatusOutOfMemory;
    return;
  }
  tcp_thread_->Start(15, &os_status);
  if (os_status == 0) udp_thread_->Start(15, &os_status);
  *status = os_status == 0 ? 0 : kStatusNotReported;
}

CMiniPortMapper::~CMiniPortMapper() {
  stopping_.store(true);
  if (tcp_thread_ != nullptr) tcp_thread_->SetState(COSThread::kStateStopRequested);
  if (udp_thread_ != nullptr) udp_thread_->SetState(COSThread::kStateStopRequested);
  if (wake_fd_ != -1) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wake_fd_, &one, sizeof one);
  }
  tcp_listen_.Shutdown();
  udp_.Shutdown();
  delete tcp_thread_;  // joins
  delete udp_thread_;
  tcp_listen_.Close();
  udp_.Close();
  if (wake_fd_ != -1) close(wake_fd_);
  delete[] tcp_buffer_;
  delete[] udp_buffer_;
}

bool CMiniPortMapper::Stopping() const { return stopping_.load(); }

std::uint32_t CMiniPortMapper::AnswerCall(std::uint16_t port, const std::uint8_t* message, std::uint32_t length,
                                          std::uint8_t* reply) {
  Vxi11CallHeader call;
  const bool decoded = Vxi11DecodeCall(message, length, &call);
  if (length < 24) return 0;
  std::uint32_t reason = 0;
  if (!Vxi11CheckCall(call, kPortMapperProgram, 2, &reason)) {
    return Vxi11BuildErrorReply(reply, call.xid_raw, reason, 2, 2);
  }
  if (call.msg_type != kRpcCall) return Vxi11BuildErrorReply(reply, call.xid_raw, kRpcReasonGarbageArgs, 2, 2);
  if (call.proc != kProcGetPort) return Vxi11BuildErrorReply(reply, call.xid_raw, kRpcReasonProcUnavail, 2, 2);
  GetPortArgs mapping;
  if (!decoded || !Vxi11DecodeArgs(call, &mapping)) {
    return Vxi11BuildErrorReply(reply, call.xid_raw, kRpcReasonGarbageArgs, 2, 2);
  }
  const bool ours = mapping.program == kVxi11CoreProgram && mapping.version == 1 && mapping.protocol == kProtocolTcp;
  std::uint32_t n = Vxi11PutAcceptedHeader(reply, call.xid_raw, 0);
  XdrPut(reply + n, ours ? port : 0);  // no mapping: port 0
  return n + 4;
}

void CMiniPortMapper::MiniPortMapperUdpLoop() {
  CVxi11Backoff backoff;
  while (!Stopping()) {
    std::uint32_t sender_address = 0;
    std::uint16_t sender_port = 0;
    std::uint32_t status = 0;
    const std::uint32_t n =
        udp_.ReceiveFrom(udp_buffer_, kBufferSize, kUdpWaitMs, &sender_address, &sender_port, &status);
    if (status == 6) continue;
    if (status != 0) {
      // An empty datagram or a passing error: wait a little and go on, unless asked to stop.
      if (Stopping()) return;
      backoff.Pause();
      continue;
    }
    backoff.Reset();
    std::uint8_t reply[32];
    const std::uint32_t length = AnswerCall(port_, udp_buffer_, n, reply);
    if (length > 0) udp_.SendTo(reply, length, sender_address, sender_port, &status);
  }
}

void CMiniPortMapper::MiniPortMapperTcpLoop() {
  TcpConnection* connections[kMaxTcpConnections] = {};
  std::uint32_t count = 0;
  CVxi11Backoff backoff;
  Clock::time_point accept_pause_end{};
  while (!Stopping()) {
    // Connections whose call is overdue are closed; the nearest deadline bounds the wait.
    const Clock::time_point now = Clock::now();
    int wait_ms = -1;
    for (std::uint32_t i = 0; i < count;) {
      if (connections[i]->deadline <= now) {
        connections[i]->socket.Close();
        delete connections[i];
        connections[i] = connections[--count];
        continue;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(connections[i]->deadline - now).count() + 1;
      if (wait_ms < 0 || left < wait_ms) wait_ms = static_cast<int>(left);
      ++i;
    }
    // The listening socket is watched while there is room for another connection and no failed
    // accept asks for a pause.
    bool accepting = count < kMaxTcpConnections;
    if (accepting && now < accept_pause_end) {
      accepting = false;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(accept_pause_end - now).count() + 1;
      if (wait_ms < 0 || left < wait_ms) wait_ms = static_cast<int>(left);
    }
    pollfd fds[2 + kMaxTcpConnections];
    fds[0] = {wake_fd_, POLLIN, 0};
    fds[1] = {accepting ? tcp_listen_.fd : -1, POLLIN, 0};
    for (std::uint32_t i = 0; i < count; ++i) fds[2 + i] = {connections[i]->socket.fd, POLLIN, 0};
    if (poll(fds, 2 + count, wait_ms) < 0 && errno != EINTR) {
      backoff.Pause();
      continue;
    }
    if (Stopping()) break;
    // Served before new ones are added, so each index still names the connection it was polled for.
    for (std::uint32_t i = count; i-- > 0;) {
      if (fds[2 + i].revents == 0) continue;
      if (!ServeTcpConnection(connections[i])) {
        connections[i]->socket.Close();
        delete connections[i];
        connections[i] = connections[--count];
      }
    }
    if (accepting && (fds[1].revents & POLLIN) != 0) {
      while (count < kMaxTcpConnections) {
        std::uint32_t status = 0;
        COSSocket accepted = COSListenSocket::Accept(&tcp_listen_, &status);
        if (status != 0) {
          // Nothing waiting any more, or a passing failure (out of descriptors): the listening socket
          // rests a little, growing while the failures go on.
          accept_pause_end = Clock::now() + std::chrono::milliseconds(backoff.NextMs());
          break;
        }
        backoff.Reset();
        TcpConnection* connection = new (std::nothrow) TcpConnection;
        if (connection == nullptr) {
          accepted.Close();
          break;
        }
        connection->socket = accepted;
        connection->deadline = Clock::now() + std::chrono::milliseconds(receive_timeout_ms_);
        connections[count++] = connection;
      }
    }
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    connections[i]->socket.Close();
    delete connections[i];
  }
}

bool CMiniPortMapper::ServeTcpConnection(TcpConnection* connection) {
  const int fd = connection->socket.fd;
  ssize_t n;
  do {
    n = recv(fd, connection->received + connection->used, TcpConnection::kReceiveSize - connection->used, MSG_DONTWAIT);
  } while (n == -1 && errno == EINTR);
  if (n == 0) return false;  // the client has closed
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
  connection->used += static_cast<std::uint32_t>(n);
  std::uint32_t taken = 0;
  for (;;) {
    std::uint32_t length = 0;
    std::uint32_t consumed = 0;
    const Vxi11ParseResult result = Vxi11ParseRecord(connection->received + taken, connection->used - taken,
                                                     tcp_buffer_, kBufferSize, &length, &consumed);
    if (result == Vxi11ParseResult::kTooLong) return false;
    if (result == Vxi11ParseResult::kIncomplete) break;
    taken += consumed;
    std::uint8_t reply[4 + 32];
    const std::uint32_t size = AnswerCall(port_, tcp_buffer_, length, reply + 4);
    if (size > 0) {
      XdrPut(reply, kRpcLastFragment | size);
      // A reply finds room at once or never: a client with its send buffer full does not read.
      ssize_t sent;
      do {
        sent = send(fd, reply, size + 4, MSG_DONTWAIT | MSG_NOSIGNAL);
      } while (sent == -1 && errno == EINTR);
      if (sent != static_cast<ssize_t>(size + 4)) return false;
    }
    connection->deadline = Clock::now() + std::chrono::milliseconds(receive_timeout_ms_);
  }
  if (taken > 0) {
    std::memmove(connection->received, connection->received + taken, connection->used - taken);
    connection->used -= taken;
  }
  // A buffer full of one unfinished call holds no call this portmapper would answer.
  return connection->used < TcpConnection::kReceiveSize;
}
