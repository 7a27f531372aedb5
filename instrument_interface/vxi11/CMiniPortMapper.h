// The built-in portmapper, run when no portmapper answers on the instrument: it serves GETPORT
// (program 100000 version 2) over UDP and TCP and knows a single mapping, the core channel's
// {0x0607AF, 1, TCP}. Other mappings are answered with port 0; portmapper versions other than 2 with
// PROG_MISMATCH 2..2, so that clients asking newer versions first fall back to version 2.
//
// UDP: one thread answers datagram after datagram. TCP: one thread serves up to kMaxTcpConnections
// connections side by side without ever blocking on one: each connection is served call after call,
// must deliver each call within the receive time-out (else it is closed), and is closed when a reply
// finds no room in its send buffer (a client that does not read). Further clients wait in the
// listen backlog until a connection ends. Neither thread ends on a bad datagram or a failed accept,
// only when the destructor stops it.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/COSListenSocket.h"
#include "engine/COSSocket.h"
#include "engine/COSThread.h"
#include "engine/COSUdpSocket.h"

class CMiniPortMapper;

// A thread whose body is a member function of an object.
template <typename T>
struct tAutoThreadMemberFunctor {
  T* object;
  void (T::*function)();
};

template <typename Functor>
class tThread : public COSThread {
 public:
  explicit tThread(const Functor* functor) : functor_(functor) {}
  ~tThread() override { Join(); }
  bool IsFailed() override { return false; }

 protected:
  void Run() override {
    SetState(kStateRunning);
    SignalStarted();
    (functor_->object->*functor_->function)();
  }

 private:
  const Functor* functor_;
};

class CMiniPortMapper {
 public:
  static constexpr std::uint32_t kBufferSize = 4200;
  static constexpr std::uint32_t kDefaultReceiveTimeoutMs = 1000;
  static constexpr std::uint32_t kMaxTcpConnections = 32;

  // Serves `port` as the core channel's port; listens on `bind_address`:`listen_port`.
  CMiniPortMapper(std::uint16_t port, std::uint32_t* status, std::uint16_t listen_port = 111,
                  std::uint32_t bind_address = 0x7F000001, std::uint32_t receive_timeout_ms = kDefaultReceiveTimeoutMs);
  ~CMiniPortMapper();
  CMiniPortMapper(const CMiniPortMapper&) = delete;
  CMiniPortMapper& operator=(const CMiniPortMapper&) = delete;

  std::uint16_t TcpPort() const { return tcp_listen_.GetPort(); }
  std::uint16_t UdpPort() const { return udp_.LocalPort(); }

  // Answers one call message (without record mark) into `reply`; returns the reply length, 0 for a
  // message too short to answer.
  static std::uint32_t AnswerCall(std::uint16_t port, const std::uint8_t* message, std::uint32_t length,
                                  std::uint8_t* reply);

  void MiniPortMapperUdpLoop();
  void MiniPortMapperTcpLoop();

 private:
  using Thread = tThread<tAutoThreadMemberFunctor<CMiniPortMapper> >;
  struct TcpConnection;

  // Reads what the connection has sent and answers every whole call in it; false when the
  // connection is to be closed.
  bool ServeTcpConnection(TcpConnection* connection);
  bool Stopping() const;

  std::uint16_t port_;
  std::uint32_t receive_timeout_ms_;
  COSListenSocket tcp_listen_;
  COSUdpSocket udp_;
  Thread* tcp_thread_ = nullptr;
  tAutoThreadMemberFunctor<CMiniPortMapper> tcp_functor_{this, &CMiniPortMapper::MiniPortMapperTcpLoop};
  Thread* udp_thread_ = nullptr;
  tAutoThreadMemberFunctor<CMiniPortMapper> udp_functor_{this, &CMiniPortMapper::MiniPortMapperUdpLoop};
  std::uint8_t* tcp_buffer_ = nullptr;  // the call being answered, joined from its fragments
  std::uint8_t* udp_buffer_ = nullptr;
  int wake_fd_ = -1;  // readable once the destructor wants the TCP thread to end
  std::atomic<bool> stopping_{false};
};
