#include "vxi11/CVxi11AbortChannel.h"

#include "vxi11/CInstrumentServer.h"
#include "vxi11/CVxi11Backoff.h"
#include "vxi11/Vxi11LinkOperations.h"
#include "vxi11/Vxi11Rpc.h"

namespace {

constexpr std::uint32_t kDeviceAbort = 1;
constexpr std::uint32_t kDrainLimit = 64 * 1024;

}  // namespace

CVxi11AbortChannel::CVxi11AbortChannel(CInstrumentServer* server, std::uint32_t address, std::uint32_t send_timeout_ms)
    : server_(server), send_timeout_ms_(send_timeout_ms) {
  connection_mutex_.Init();
  if (connection_mutex_.IsFailed()) return;
  std::uint32_t status = 0;
  listen_.CreateTcp(&status);
  if (status == 0) listen_.BindAndListen(0, &status, address);
  if (status == 0) Start(8, &status);
  if (status != 0) {
    listen_.Close();
    return;
  }
  failed_ = 0;
}

CVxi11AbortChannel::~CVxi11AbortChannel() {
  SetState(kStateStopRequested);
  listen_.Shutdown();
  if (!connection_mutex_.IsFailed()) {
    std::uint32_t status = 0;
    connection_mutex_.Lock(&status);
    connection_.Shutdown();
    connection_mutex_.Unlock();
  }
  Join();
  listen_.Close();
  connection_.Close();
  if (!connection_mutex_.IsFailed()) connection_mutex_.Destroy();
}

void CVxi11AbortChannel::Run() {
  SetState(kStateRunning);
  SignalStarted();
  Serve();
}

void CVxi11AbortChannel::Serve() {
  CVxi11Backoff backoff;
  const auto stopping = [this] { return GetState() == kStateStopRequested; };
  for (;;) {
    COSSocket accepted;
    if (!backoff.Accept(&listen_, stopping, &accepted)) return;
    std::uint32_t lock_status = 0;
    connection_mutex_.Lock(&lock_status);
    connection_ = accepted;
    const bool stopping = GetState() == kStateStopRequested;
    connection_mutex_.Unlock();
    if (!stopping) ServeConnection(&accepted);
    connection_mutex_.Lock(&lock_status);
    connection_.Close();
    connection_mutex_.Unlock();
  }
}

void CVxi11AbortChannel::ServeConnection(COSSocket* connection) {
  std::uint8_t buffer[kReceiveCapacity];
  for (;;) {
    std::uint32_t length = 0;
    const Vxi11RecordResult result = Vxi11ReadRecord(connection, buffer, sizeof buffer, kDrainLimit, &length);
    if (result == Vxi11RecordResult::kFailed) return;
    Vxi11CallHeader call;
    const bool decoded = Vxi11DecodeCall(buffer, length, &call);
    if (length < 24) {
      if (length >= 4 && !SendErrorReply(connection, call.xid_raw, kRpcReasonGarbageArgs)) return;
      continue;
    }
    std::uint32_t reason = 0;
    std::uint32_t lid = 0;  // device_abort's one argument
    bool sent = true;
    if (!Vxi11CheckCall(call, kVxi11AbortProgram, 1, &reason)) {
      sent = SendErrorReply(connection, call.xid_raw, reason);
    } else if (call.proc != kDeviceAbort) {
      sent = SendErrorReply(connection, call.xid_raw, kRpcReasonProcUnavail);
    } else if (call.msg_type != kRpcCall || !decoded || !Vxi11DecodeArgs(call, &lid)) {
      sent = SendErrorReply(connection, call.xid_raw, kRpcReasonGarbageArgs);
    } else {
      std::uint32_t status = 0;
      server_->Operations()->device_abort(server_, lid, &status);
      std::uint8_t record[4 + 28];
      std::uint32_t n = Vxi11PutAcceptedHeader(record + 4, call.xid_raw, 0);
      XdrPut(record + 4 + n, Vxi11ErrorFromStatus(status));
      n += 4;
      sent = Vxi11SendRecord(connection, record + 4, n, send_timeout_ms_);
    }
    // A reply that could not go out leaves the stream out of step: the connection is given up.
    if (!sent) return;
  }
}

bool CVxi11AbortChannel::SendErrorReply(COSSocket* connection, std::uint32_t xid_raw, std::uint32_t reason) {
  std::uint8_t record[4 + 32];
  const std::uint32_t n = Vxi11BuildErrorReply(record + 4, xid_raw, reason, 1, 1);
  return Vxi11SendRecord(connection, record + 4, n, send_timeout_ms_);
}
