#include "vxi11/CMiniPortMapper.h"

#include <poll.h>

#include <new>

#include "vxi11/Vxi11Rpc.h"

namespace {

constexpr std::uint32_t kStatusNoMemory = 0x543F0;
constexpr std::uint32_t kStatusDriver = 0x543FF;
constexpr std::uint32_t kProcGetPort = 3;
constexpr std::uint32_t kProtocolTcp = 6;
constexpr std::uint32_t kUdpWaitMs = 5000;
constexpr std::uint32_t kDrainLimit = 64 * 1024;

void Pause(int* backoff_ms) {
  poll(nullptr, 0, *backoff_ms);
  *backoff_ms = *backoff_ms < 500 ? *backoff_ms * 2 : 500;
}

}  // namespace

CMiniPortMapper::CMiniPortMapper(std::uint16_t port, std::uint32_t* status, std::uint16_t listen_port,
                                 std::uint32_t bind_address, std::uint32_t idle_ms)
    : port_(port), idle_ms_(idle_ms) {
  connection_mutex_.Init();
  tcp_buffer_ = new (std::nothrow) std::uint8_t[kBufferSize];
  udp_buffer_ = new (std::nothrow) std::uint8_t[kBufferSize];
  if (tcp_buffer_ == nullptr || udp_buffer_ == nullptr || connection_mutex_.IsFailed()) {
    *status = kStatusNoMemory;
    return;
  }
  std::uint32_t os_status = 0;
  tcp_listen_.CreateTcp(&os_status);
  if (os_status == 0) tcp_listen_.BindAndListen(listen_port, &os_status, bind_address);
  if (os_status == 0) udp_.Create(&os_status);
  // Both protocols on the same port number (an ephemeral TCP port is reused for UDP).
  if (os_status == 0) udp_.Bind(tcp_listen_.GetPort(), &os_status, bind_address);
  if (os_status != 0) {
    *status = kStatusDriver;
    return;
  }
  tcp_thread_ = new (std::nothrow) Thread(&tcp_functor_);
  udp_thread_ = new (std::nothrow) Thread(&udp_functor_);
  if (tcp_thread_ == nullptr || udp_thread_ == nullptr) {
    *status = kStatusNoMemory;
    return;
  }
  tcp_thread_->Start(15, &os_status);
  if (os_status == 0) udp_thread_->Start(15, &os_status);
  *status = os_status == 0 ? 0 : kStatusDriver;
}

CMiniPortMapper::~CMiniPortMapper() {
  stopping_.store(true);
  if (tcp_thread_ != nullptr) tcp_thread_->SetState(COSThread::kStateStopRequested);
  if (udp_thread_ != nullptr) udp_thread_->SetState(COSThread::kStateStopRequested);
  tcp_listen_.Shutdown();
  udp_.Shutdown();
  if (!connection_mutex_.IsFailed()) {
    std::uint32_t status = 0;
    connection_mutex_.Lock(&status);
    connection_.Shutdown();
    connection_mutex_.Unlock();
  }
  delete tcp_thread_;  // joins
  delete udp_thread_;
  tcp_listen_.Close();
  udp_.Close();
  delete[] tcp_buffer_;
  delete[] udp_buffer_;
  if (!connection_mutex_.IsFailed()) connection_mutex_.Destroy();
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
  if (!decoded || call.args_length < 16) {
    return Vxi11BuildErrorReply(reply, call.xid_raw, kRpcReasonGarbageArgs, 2, 2);
  }
  const bool ours = XdrGet(call.args) == kVxi11CoreProgram && XdrGet(call.args + 4) == 1 &&
                    XdrGet(call.args + 8) == kProtocolTcp;
  std::uint32_t n = Vxi11PutAcceptedHeader(reply, call.xid_raw, 0);
  XdrPut(reply + n, ours ? port : 0);  // no mapping: port 0
  return n + 4;
}

void CMiniPortMapper::MiniPortMapperUdpLoop() {
  int backoff_ms = 1;
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
      Pause(&backoff_ms);
      continue;
    }
    backoff_ms = 1;
    std::uint8_t reply[32];
    const std::uint32_t length = AnswerCall(port_, udp_buffer_, n, reply);
    if (length > 0) udp_.SendTo(reply, length, sender_address, sender_port, &status);
  }
}

void CMiniPortMapper::MiniPortMapperTcpLoop() {
  int backoff_ms = 1;
  while (!Stopping()) {
    std::uint32_t status = 0;
    COSSocket accepted = COSListenSocket::Accept(&tcp_listen_, &status);
    if (status != 0) {
      if (Stopping()) return;
      Pause(&backoff_ms);
      continue;
    }
    backoff_ms = 1;
    std::uint32_t lock_status = 0;
    connection_mutex_.Lock(&lock_status);
    connection_ = accepted;
    const bool stopping = Stopping();
    connection_mutex_.Unlock();
    if (!stopping) ServeTcpConnection(&accepted);
    connection_mutex_.Lock(&lock_status);
    connection_.Close();
    connection_mutex_.Unlock();
  }
}

void CMiniPortMapper::ServeTcpConnection(COSSocket* connection) {
  Vxi11SetReceiveTimeout(connection, idle_ms_);
  for (;;) {
    std::uint32_t length = 0;
    const Vxi11RecordResult result = Vxi11ReadRecord(connection, tcp_buffer_, kBufferSize, kDrainLimit, &length);
    if (result == Vxi11RecordResult::kFailed) return;
    std::uint8_t reply[4 + 32];
    const std::uint32_t n = AnswerCall(port_, tcp_buffer_, length, reply + 4);
    if (n > 0 && !Vxi11SendRecord(connection, reply + 4, n)) return;
  }
}
