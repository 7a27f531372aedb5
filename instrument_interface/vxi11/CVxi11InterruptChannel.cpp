#include "vxi11/CVxi11InterruptChannel.h"

#include <sys/socket.h>

#include <cstring>

#include "vxi11/Vxi11Status.h"
#include "vxi11/Vxi11Rpc.h"

namespace {

constexpr std::uint32_t kIntrSrqProcedure = 30;

}  // namespace

CVxi11InterruptChannel::CVxi11InterruptChannel() {
  mutex_.Init();
  if (!mutex_.IsFailed()) failed_ = 0;
}

CVxi11InterruptChannel::~CVxi11InterruptChannel() {
  CloseLocked();
  if (!mutex_.IsFailed()) mutex_.Destroy();
}

std::uint32_t CVxi11InterruptChannel::BuildSrqCall(std::uint8_t* out, std::uint32_t xid, std::uint32_t handle_length,
                                                   const std::uint8_t* handle) {
  if (handle_length > kMaxHandle) handle_length = kMaxHandle;
  const std::uint32_t header[] = {xid, kRpcCall, kRpcVersion, kVxi11InterruptProgram, 1, kIntrSrqProcedure, 0,
                                  0,   0,        0,           handle_length};
  std::uint32_t n = 0;
  for (std::uint32_t word : header) {
    XdrPut(out + n, word);
    n += 4;
  }
  std::memset(out + n, 0, XdrPadded(handle_length));
  if (handle_length > 0) std::memcpy(out + n, handle, handle_length);
  return n + XdrPadded(handle_length);
}

void CVxi11InterruptChannel::CloseLocked() {
  if (established_ == 0) return;
  if (family_ == kFamilyTcp) tcp_.Close();
  if (family_ == kFamilyUdp) udp_.Close();
  established_ = 0;
  family_ = kFamilyNone;
  host_address_ = 0;
  host_port_ = 0;
}

void CVxi11InterruptChannel::Create(std::uint32_t host_address, std::uint16_t host_port, std::int32_t family,
                                    std::uint32_t* status) {
  std::uint32_t lock_status = 0;
  mutex_.Lock(&lock_status);
  const bool already = established_ != 0;
  mutex_.Unlock();
  if (already) {
    *status = kVxi11StatusChannelAlreadyEstablished;
    return;
  }
  if (family != kFamilyTcp && family != kFamilyUdp) {
    *status = kVxi11StatusNotSupported;
    return;
  }
  // The connect may take its whole time-out; it runs without the mutex so that service requests of
  // other threads are not held up meanwhile.
  COSSocket tcp;
  COSUdpSocket udp;
  std::uint32_t os_status = 0;
  if (family == kFamilyTcp) {
    tcp.CreateTcp(&os_status);
    if (os_status == 0) tcp.Connect(host_address, host_port, kConnectTimeoutMs, &os_status);
  } else {
    udp.Create(&os_status);
  }
  if (os_status != 0) {
    tcp.Close();
    udp.Close();
    *status = kVxi11StatusChannelNotEstablished;
    return;
  }
  mutex_.Lock(&lock_status);
  if (established_ != 0) {
    mutex_.Unlock();
    tcp.Close();
    udp.Close();
    *status = kVxi11StatusChannelAlreadyEstablished;
    return;
  }
  tcp_ = tcp;
  udp_ = udp;
  family_ = family;
  host_address_ = host_address;
  host_port_ = host_port;
  established_ = 1;
  mutex_.Unlock();
  *status = 0;
}

void CVxi11InterruptChannel::Destroy(std::uint32_t* status) {
  std::uint32_t lock_status = 0;
  mutex_.Lock(&lock_status);
  if (established_ == 0) {
    *status = kVxi11StatusChannelNotEstablished;
  } else {
    CloseLocked();
    *status = 0;
  }
  mutex_.Unlock();
}

void CVxi11InterruptChannel::DrainRepliesLocked() {
  std::uint8_t scratch[256];
  while (recv(tcp_.fd, scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
  }
}

void CVxi11InterruptChannel::SendSrq(std::uint32_t handle_length, const std::uint8_t* handle, std::uint32_t* status) {
  std::uint32_t lock_status = 0;
  mutex_.Lock(&lock_status);
  if (established_ == 0) {
    mutex_.Unlock();
    *status = kVxi11StatusChannelNotEstablished;
    return;
  }
  std::uint8_t record[4 + 44 + kMaxHandle];
  const std::uint32_t length = BuildSrqCall(record + 4, next_xid_++, handle_length, handle);
  bool sent = false;
  if (family_ == kFamilyTcp) {
    DrainRepliesLocked();
    // Never waits: a full send buffer drops the request. A record sent only in part would leave the
    // host's stream out of step, so the channel is closed then.
    XdrPut(record, kRpcLastFragment | length);
    const ssize_t n = send(tcp_.fd, record, length + 4, MSG_DONTWAIT | MSG_NOSIGNAL);
    sent = n == static_cast<ssize_t>(length + 4);
    if (n > 0 && !sent) CloseLocked();
    DrainRepliesLocked();
  } else {
    std::uint32_t os_status = 0;
    const std::uint32_t n = udp_.SendTo(record + 4, length, host_address_, host_port_, &os_status);
    sent = os_status == 0 && n == length;
  }
  mutex_.Unlock();
  *status = sent ? 0 : kStatusNotReported;
}
