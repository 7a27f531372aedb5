#include "vxi11/CVxi11CoreChannel.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>
#include <new>

#include "vxi11/CInstrumentServer.h"
#include "vxi11/Vxi11LinkOperations.h"
#include "vxi11/Vxi11Status.h"

namespace {

constexpr std::uint32_t kTransmitSize = 4 + 24 + 12 + CVxi11CoreChannel::kMaxData;
constexpr std::uint32_t kFlagWaitLock = 1u << 0;
constexpr std::uint32_t kFlagEnd = 1u << 3;
constexpr std::uint32_t kFlagTermCharSet = 1u << 7;
constexpr std::uint32_t kReasonReqCnt = 1u << 0;
constexpr std::uint32_t kMaxDeviceName = 199;
constexpr std::uint32_t kErrorParameter = 5;
constexpr std::uint32_t kErrorNotSupported = 8;

// The fixed argument words of the core procedures, in their order on the wire.
struct CreateLinkArgs {
  std::uint32_t client_id;
  std::uint32_t lock_device;
  std::uint32_t lock_timeout;
  std::uint32_t name_length;  // the name's bytes follow
};
struct DeviceWriteArgs {
  std::uint32_t lid;
  std::uint32_t io_timeout;
  std::uint32_t lock_timeout;
  std::uint32_t flags;
  std::uint32_t data_length;  // the data bytes follow
};
struct DeviceReadArgs {
  std::uint32_t lid;
  std::uint32_t request_size;
  std::uint32_t io_timeout;
  std::uint32_t lock_timeout;
  std::uint32_t flags;
  std::uint32_t term_char;
};
// device_readstb, device_trigger, device_clear, device_remote, device_local.
struct DeviceGenericArgs {
  std::uint32_t lid;
  std::uint32_t flags;
  std::uint32_t lock_timeout;
  std::uint32_t io_timeout;
};
struct DeviceLockArgs {
  std::uint32_t lid;
  std::uint32_t flags;
  std::uint32_t lock_timeout;
};
// device_unlock, destroy_link.
struct LinkArgs {
  std::uint32_t lid;
};
struct EnableSrqArgs {
  std::uint32_t lid;
  std::uint32_t enable;
  std::uint32_t handle_length;  // the handle's bytes follow
};
struct CreateIntrChanArgs {
  std::uint32_t host_address;
  std::uint32_t host_port;
  std::uint32_t program;
  std::uint32_t version;
  std::uint32_t family;
};

Vxi11LinkCall GenericCall(const DeviceGenericArgs& args) {
  return {args.lid, (args.flags & kFlagWaitLock) != 0, args.lock_timeout, args.io_timeout};
}

enum Procedure : std::uint32_t {
  kCreateLink = 10,
  kDeviceWrite = 11,
  kDeviceRead = 12,
  kDeviceReadStb = 13,
  kDeviceTrigger = 14,
  kDeviceClear = 15,
  kDeviceRemote = 16,
  kDeviceLocal = 17,
  kDeviceLock = 18,
  kDeviceUnlock = 19,
  kDeviceEnableSrq = 20,
  kDeviceDocmd = 22,
  kDestroyLink = 23,
  kCreateIntrChan = 25,
  kDestroyIntrChan = 26,
};

}  // namespace

CVxi11CoreChannel::CVxi11CoreChannel(const COSSocket& connection, CInstrumentServer* server,
                                     const CVxi11LinkOperations* ops, std::uint32_t send_timeout_ms)
    : send_timeout_ms_(send_timeout_ms), server_(server), ops_(ops), socket_(connection) {
  for (auto& entry : table_) entry = &CVxi11CoreChannel::ProcUnavailable;
  table_[kCreateLink] = &CVxi11CoreChannel::CreateLink;
  table_[kDeviceWrite] = &CVxi11CoreChannel::DeviceWrite;
  table_[kDeviceRead] = &CVxi11CoreChannel::DeviceRead;
  table_[kDeviceReadStb] = &CVxi11CoreChannel::DeviceReadStb;
  table_[kDeviceTrigger] = &CVxi11CoreChannel::DeviceGeneric;
  table_[kDeviceClear] = &CVxi11CoreChannel::DeviceGeneric;
  table_[kDeviceRemote] = &CVxi11CoreChannel::DeviceGeneric;
  table_[kDeviceLocal] = &CVxi11CoreChannel::DeviceGeneric;
  table_[kDeviceLock] = &CVxi11CoreChannel::DeviceLock;
  table_[kDeviceUnlock] = &CVxi11CoreChannel::DeviceUnlock;
  table_[kDeviceEnableSrq] = &CVxi11CoreChannel::EnableSrq;
  table_[kDeviceDocmd] = &CVxi11CoreChannel::DeviceDocmd;
  table_[kDestroyLink] = &CVxi11CoreChannel::DestroyLink;
  table_[kCreateIntrChan] = &CVxi11CoreChannel::CreateIntrChan;
  table_[kDestroyIntrChan] = &CVxi11CoreChannel::DestroyIntrChan;
  receive_ = new (std::nothrow) std::uint8_t[kReceiveCapacity];
  transmit_ = new (std::nothrow) std::uint8_t[kTransmitSize];
  read_ahead_ = new (std::nothrow) Vxi11ReadAhead;
  if (receive_ != nullptr && transmit_ != nullptr && read_ahead_ != nullptr && ops_ != nullptr) failed_ = 0;
  // Replies go out at once: a client waits for each before it sends the next call.
  if (socket_.fd != -1) {
    const int on = 1;
    setsockopt(socket_.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
}

CVxi11CoreChannel::~CVxi11CoreChannel() {
  socket_.Close();
  delete[] receive_;
  delete[] transmit_;
  delete read_ahead_;
}

bool CVxi11CoreChannel::PeerClosed() {
  if (closing_.load()) return true;
  pollfd watch{socket_.fd, POLLRDHUP, 0};
  if (::poll(&watch, 1, 0) <= 0) return false;
  return (watch.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void CVxi11CoreChannel::MarkClosing() {
  closing_.store(true);
  socket_.Shutdown();
}

void CVxi11CoreChannel::Serve() {
  if (failed_ != 0) return;
  while (!closing_.load() && !broken_) {
    std::uint32_t length = 0;
    const Vxi11RecordResult result =
        Vxi11ReadRecord(&socket_, receive_, kReceiveCapacity, kDrainLimit, &length, read_ahead_);
    if (result == Vxi11RecordResult::kFailed) return;
    Dispatch(receive_, length, result == Vxi11RecordResult::kTruncated);
  }
}

void CVxi11CoreChannel::Dispatch(const std::uint8_t* message, std::uint32_t length, bool truncated) {
  Vxi11CallHeader call;
  const bool decoded = Vxi11DecodeCall(message, length, &call);
  if (length < 24) {
    // Too short to say what it is; answered as garbage when at least the xid arrived.
    if (length >= 4) SendErrorReply(call.xid_raw, kRpcReasonGarbageArgs);
    return;
  }
  std::uint32_t reason = 0;
  if (!Vxi11CheckCall(call, kVxi11CoreProgram, 1, &reason)) {
    SendErrorReply(call.xid_raw, reason);
  } else if (call.msg_type != kRpcCall || !decoded) {
    SendErrorReply(call.xid_raw, kRpcReasonGarbageArgs);
  } else if (call.proc >= kProcedureCount) {
    SendErrorReply(call.xid_raw, kRpcReasonProcUnavail);
  } else {
    truncated_ = truncated;
    // Read through a pointer: GCC's bounds sanitizer misreads an index into an array of member
    // function pointers (and then stops the process).
    const Handler handler = *(table_ + call.proc);
    (this->*handler)(call);
  }
}

void CVxi11CoreChannel::SendRecord(std::uint8_t* record, std::uint32_t length) {
  if (broken_) return;
  if (!Vxi11SendRecord(&socket_, record, length, send_timeout_ms_)) broken_ = true;
}

void CVxi11CoreChannel::SendErrorReply(std::uint32_t xid_raw, std::uint32_t reason) {
  std::uint8_t record[4 + 32];
  const std::uint32_t n = Vxi11BuildErrorReply(record + 4, xid_raw, reason, 1, 1);
  SendRecord(record + 4, n);
}

void CVxi11CoreChannel::SendResult(std::uint32_t xid_raw, const std::uint32_t* words, std::uint32_t count) {
  std::uint8_t record[4 + 24 + 4 * 4];
  std::uint32_t n = Vxi11PutAcceptedHeader(record + 4, xid_raw, 0);
  for (std::uint32_t i = 0; i < count; ++i, n += 4) XdrPut(record + 4 + n, words[i]);
  SendRecord(record + 4, n);
}

void CVxi11CoreChannel::SendReadStbReply(std::uint32_t xid_raw, std::uint8_t status_byte, std::uint32_t status) {
  const std::uint32_t words[2] = {Vxi11ErrorFromStatus(status), status_byte};
  SendResult(xid_raw, words, 2);
}

void CVxi11CoreChannel::KeepReadStbReply(std::uint32_t xid_raw, std::uint8_t status_byte, std::uint32_t status) {
  readstb_reply_.kept = true;
  readstb_reply_.xid_raw = xid_raw;
  readstb_reply_.status_byte = status_byte;
  readstb_reply_.status = status;
}

void CVxi11CoreChannel::ProcUnavailable(const Vxi11CallHeader& call) {
  SendErrorReply(call.xid_raw, kRpcReasonProcUnavail);
}

void CVxi11CoreChannel::CreateLink(const Vxi11CallHeader& call) {
  CreateLinkArgs args;
  if (!Vxi11DecodeArgs(call, &args) || call.args_length - sizeof args < args.name_length || truncated_) {
    SendErrorReply(call.xid_raw, kRpcReasonGarbageArgs);
    return;
  }
  const std::uint32_t name_length = args.name_length > kMaxDeviceName ? kMaxDeviceName : args.name_length;
  char name[kMaxDeviceName + 1];
  std::memcpy(name, call.args + sizeof args, name_length);
  name[name_length] = '\0';
  std::uint32_t status = 0;
  const std::uint32_t lid = ops_->create_link(server_, args.lock_device != 0, args.lock_timeout, name, &status);
  const std::uint32_t words[4] = {Vxi11ErrorFromStatus(status), lid, server_->GetAbortPort(), kMaxData};
  SendResult(call.xid_raw, words, 4);
}

void CVxi11CoreChannel::DeviceWrite(const Vxi11CallHeader& call) {
  DeviceWriteArgs args;
  if (!Vxi11DecodeArgs(call, &args)) {
    SendErrorReply(call.xid_raw, kRpcReasonGarbageArgs);
    return;
  }
  const std::uint32_t length = args.data_length;
  if (length > kMaxData) {
    // Longer than the maxRecvSize announced by create_link: refused without touching the link.
    const std::uint32_t words[2] = {kErrorParameter, 0};
    SendResult(call.xid_raw, words, 2);
    return;
  }
  if (truncated_ || call.args_length - sizeof args < length) {
    SendErrorReply(call.xid_raw, kRpcReasonGarbageArgs);
    return;
  }
  const Vxi11LinkCall link_call{args.lid, (args.flags & kFlagWaitLock) != 0, args.lock_timeout, args.io_timeout};
  std::uint32_t status = 0;
  const std::uint32_t size =
      ops_->device_write(server_, link_call, (args.flags & kFlagEnd) != 0, length, call.args + sizeof args, &status);
  const std::uint32_t words[2] = {Vxi11ErrorFromStatus(status), size};
  SendResult(call.xid_raw, words, 2);
}

void CVxi11CoreChannel::DeviceRead(const Vxi11CallHeader& call) {
  DeviceReadArgs args;
  if (!Vxi11DecodeArgs(call, &args) || truncated_) {
    SendErrorReply(call.xid_raw, kRpcReasonGarbageArgs);
    return;
  }
  const std::uint32_t request = args.request_size;
  const std::uint32_t count = request > kMaxData ? kMaxData : request;
  const Vxi11LinkCall link_call{args.lid, (args.flags & kFlagWaitLock) != 0, args.lock_timeout, args.io_timeout};
  std::uint8_t* data = transmit_ + 4 + 24 + 12;
  std::memset(transmit_, 0, kTransmitSize);
  std::uint32_t reason = 0;
  std::uint32_t status = 0;
  std::uint32_t n = ops_->device_read(server_, link_call, (args.flags & kFlagTermCharSet) != 0,
                                      static_cast<std::uint8_t>(args.term_char), count, data, &reason, &status);
  if (n > count) n = count;
  if (n == count && request <= kMaxData) reason |= kReasonReqCnt;
  std::uint8_t* reply = transmit_ + 4;
  std::uint32_t length = Vxi11PutAcceptedHeader(reply, call.xid_raw, 0);
  XdrPut(reply + length, Vxi11ErrorFromStatus(status));
  XdrPut(reply + length + 4, reason);
  XdrPut(reply + length + 8, n);
  length += 12 + XdrPadded(n);
  SendRecord(reply, length);
}

void CVxi11CoreChannel::DeviceReadStb(const Vxi11CallHeader& call) {
  DeviceGenericArgs args;
  if (!Vxi11DecodeArgs(call, &args) || truncated_) {
    SendErrorReply(call.xid_raw, kRpcReasonGarbageArgs);
    return;
  }
  std::uint32_t status = 0;
  readstb_reply_.kept = false;
  ops_->device_readstb(server_, call.xid_raw, GenericCall(args), &status);
  // The reply the operation gave, sent now that it holds nothing; without one (the operation failed
  // before the status byte was asked for) the error with status byte 0, so every call is answered,
  // and never with a success it did not report.
  if (readstb_reply_.kept) {
    readstb_reply_.kept = false;
    SendReadStbReply(readstb_reply_.xid_raw, readstb_reply_.status_byte, readstb_reply_.status);
  } else {
    SendReadStbReply(call.xid_raw, 0, status != 0 ? status : kStatusNotReported);
  }
}

void CVxi11CoreChannel::DeviceGeneric(const Vxi11CallHeader& call) {
  DeviceGenericArgs args;
  if (!Vxi11DecodeArgs(call, &args) || truncated_) {
    SendErrorReply(call.xid_raw, kRpcReasonGarbageArgs);
    return;
  }
  auto operation = ops_->device_trigger;
  if (call.proc == kDeviceClear) operation = ops_->device_clear;
  if (call.proc == kDeviceRemote) operation = ops_->device_remote;
  if (call.proc == kDeviceLocal) operation = ops_->device_local;
  std::uint32_t status = 0;
  operation(server_, GenericCall(args), &status);
  const std::uint32_t words[1] = {Vxi11ErrorFromStatus(status)};
  SendResult(call.xid_raw, words, 1);
}

void CVxi11CoreChannel::DeviceLock(const Vxi11CallHeader& call) {
  DeviceLockArgs args;
  if (!Vxi11DecodeArgs(call, &args) || truncated_) {
    SendErrorReply(call.xid_raw, kRpcReasonGarbageArgs);
    return;
  }
  std::uint32_t status = 0;
  ops_->device_lock(server_, {args.lid, (args.flags & kFlagWaitLock) != 0, args.lock_timeout, 0}, &status);
  const std::uint32_t words[1] = {Vxi11ErrorFromStatus(status)};
  SendResult(call.xid_raw, words, 1);
}

void CVxi11CoreChannel::DeviceUnlock(const Vxi11CallHeader& call) {
  LinkArgs args;
  if (!Vxi11DecodeArgs(call, &args) || truncated_) {
    SendErrorReply(call.xid_raw, kRpcReasonGarbageArgs);
    return;
  }
  std::uint32_t status = 0;
  ops_->device_unlock(server_, args.lid, &status);
  const std::uint32_t words[1] = {Vxi11ErrorFromStatus(status)};
  SendResult(call.xid_raw, words, 1);
}

void CVxi11CoreChannel::EnableSrq(const Vxi11CallHeader& call) {
  EnableSrqArgs args;
  if (!Vxi11DecodeArgs(call, &args) || truncated_) {
    SendErrorReply(call.xid_raw, kRpcReasonGarbageArgs);
    return;
  }
  const std::uint32_t handle_length = args.handle_length;
  std::uint32_t status = 0;
  if (call.args_length - sizeof args < handle_length) {
    // The declared handle runs past the call: refused as too long (the operation refuses more
    // than 40 bytes in any case) without reading beyond the received bytes.
    status = kVxi11StatusBadParameter;
  } else {
    ops_->enable_srq(server_, args.lid, args.enable != 0, handle_length, call.args + sizeof args, &status);
  }
  const std::uint32_t words[1] = {Vxi11ErrorFromStatus(status)};
  SendResult(call.xid_raw, words, 1);
}

void CVxi11CoreChannel::DeviceDocmd(const Vxi11CallHeader& call) {
  // No commands are served: error 8 and an empty data_out.
  const std::uint32_t words[2] = {kErrorNotSupported, 0};
  SendResult(call.xid_raw, words, 2);
}

void CVxi11CoreChannel::DestroyLink(const Vxi11CallHeader& call) {
  LinkArgs args;
  if (!Vxi11DecodeArgs(call, &args) || truncated_) {
    SendErrorReply(call.xid_raw, kRpcReasonGarbageArgs);
    return;
  }
  std::uint32_t status = 0;
  ops_->destroy_link(server_, args.lid, &status);
  const std::uint32_t words[1] = {Vxi11ErrorFromStatus(status)};
  SendResult(call.xid_raw, words, 1);
}

void CVxi11CoreChannel::CreateIntrChan(const Vxi11CallHeader& call) {
  CreateIntrChanArgs args;
  if (!Vxi11DecodeArgs(call, &args) || truncated_) {
    SendErrorReply(call.xid_raw, kRpcReasonGarbageArgs);
    return;
  }
  if (args.program != kVxi11InterruptProgram) {
    SendErrorReply(call.xid_raw, kRpcReasonProgUnavail);
    return;
  }
  if (args.version != 1) {
    SendErrorReply(call.xid_raw, kRpcReasonProgMismatch);
    return;
  }
  std::uint32_t status = 0;
  server_->CreateInterruptChannel(args.host_address, static_cast<std::uint16_t>(args.host_port),
                                  static_cast<std::int32_t>(args.family), &status);
  const std::uint32_t words[1] = {Vxi11ErrorFromStatus(status)};
  SendResult(call.xid_raw, words, 1);
}

void CVxi11CoreChannel::DestroyIntrChan(const Vxi11CallHeader& call) {
  std::uint32_t status = 0;
  server_->DestroyInterruptChannel(&status);
  const std::uint32_t words[1] = {Vxi11ErrorFromStatus(status)};
  SendResult(call.xid_raw, words, 1);
}
