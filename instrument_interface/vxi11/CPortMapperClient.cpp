#include "vxi11/CPortMapperClient.h"

#include "engine/COSSocket.h"
#include "vxi11/Vxi11Rpc.h"
#include "vxi11/Vxi11Status.h"

namespace {

constexpr std::uint32_t kConnectTimeoutMs = 1000;
constexpr std::uint32_t kReplyTimeoutMs = 2000;
constexpr std::uint32_t kProcSet = 1;
constexpr std::uint32_t kProcUnset = 2;
constexpr std::uint32_t kProcGetPort = 3;

}  // namespace

void CPortMapperClient::PortMapperCall(std::uint32_t xid, std::uint32_t prog, std::uint32_t vers, std::uint32_t proc,
                                       const std::uint32_t mapping[4]) {
  const std::uint32_t words[] = {kRpcLastFragment | (kCallLength - 4),
                                 xid,
                                 kRpcCall,
                                 kRpcVersion,
                                 prog,
                                 vers,
                                 proc,
                                 0,
                                 0,
                                 0,
                                 0,
                                 mapping[0],
                                 mapping[1],
                                 mapping[2],
                                 mapping[3]};
  length_ = 0;
  for (std::uint32_t word : words) {
    XdrPut(message_ + length_, word);
    length_ += 4;
  }
}

std::uint32_t CPortMapperClient::Exchange(std::uint32_t proc, const std::uint32_t mapping[4], std::uint32_t* status) {
  PortMapperCall(kXid, kPortMapperProgram, 2, proc, mapping);
  COSSocket socket;
  std::uint32_t os_status = 0;
  socket.CreateTcp(&os_status);
  if (os_status != 0) {
    *status = kVxi11StatusSocketError;
    return 0;
  }
  socket.Connect(address_, port_, kConnectTimeoutMs, &os_status);
  if (os_status != 0) {
    socket.Close();
    *status = kVxi11StatusPortMapperNotPresent;
    return 0;
  }
  // A portmapper that accepts but never answers must not hold the start up.
  Vxi11SetReceiveTimeout(&socket, kReplyTimeoutMs);
  std::uint8_t record[64];
  std::uint32_t length = 0;
  std::uint32_t sent = 0;
  while (sent < length_) {
    const std::uint32_t n = socket.Send(message_ + sent, length_ - sent, &os_status);
    if (os_status != 0 || n == 0) break;
    sent += n;
  }
  bool ok = sent == length_;
  if (ok) {
    ok = Vxi11ReadRecord(&socket, record, sizeof record, 4096, &length) == Vxi11RecordResult::kComplete;
  }
  socket.Close();
  // xid, REPLY, MSG_ACCEPTED, verifier (empty), SUCCESS, result.
  if (!ok || length < 28 || XdrGet(record) != kXid || XdrGet(record + 4) != kRpcReply || XdrGet(record + 8) != 0 ||
      XdrGet(record + 16) != 0 || XdrGet(record + 20) != 0) {
    *status = kVxi11StatusSocketError;
    return 0;
  }
  *status = 0;
  return XdrGet(record + 24);
}

std::uint16_t PortMapperGetPort(CPortMapperClient* client, std::uint32_t prog, std::uint32_t vers, std::uint32_t prot,
                                std::uint32_t* status) {
  const std::uint32_t mapping[4] = {prog, vers, prot, 0};
  return static_cast<std::uint16_t>(client->Exchange(kProcGetPort, mapping, status));
}

void PortMapperUnset(CPortMapperClient* client, std::uint32_t prog, std::uint32_t vers, std::uint16_t port,
                     std::uint32_t* status) {
  const std::uint32_t mapping[4] = {prog, vers, 6, port};
  client->Exchange(kProcUnset, mapping, status);
  if (*status != 0) *status = kVxi11StatusSocketError;
}

void PortMapperSet(CPortMapperClient* client, std::uint32_t prog, std::uint32_t vers, std::uint32_t prot,
                   std::uint16_t port, std::uint32_t* status) {
  const std::uint32_t mapping[4] = {prog, vers, prot, port};
  const std::uint32_t accepted = client->Exchange(kProcSet, mapping, status);
  // A portmapper that refuses the mapping answers false.
  if (*status == 0 && accepted == 0) *status = kVxi11StatusSocketError;
}
