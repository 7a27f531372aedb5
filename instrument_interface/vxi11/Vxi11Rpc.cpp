#include "vxi11/Vxi11Rpc.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cstring>

#include "engine/COSSocket.h"
#include "vxi11/Vxi11Status.h"

std::uint32_t XdrGet(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

void XdrPut(std::uint8_t* p, std::uint32_t value) {
  p[0] = static_cast<std::uint8_t>(value >> 24);
  p[1] = static_cast<std::uint8_t>(value >> 16);
  p[2] = static_cast<std::uint8_t>(value >> 8);
  p[3] = static_cast<std::uint8_t>(value);
}

bool Vxi11ReceiveAll(COSSocket* socket, std::uint8_t* buffer, std::uint32_t length) {
  std::uint32_t done = 0;
  while (done < length) {
    std::uint32_t status = 0;
    const std::uint32_t n = socket->Receive(buffer + done, length - done, &status);
    if (status != kStatusSuccess || n == 0) return false;
    done += n;
  }
  return true;
}

namespace {

// Receives exactly `length` bytes, first from what was read ahead.
bool Take(COSSocket* socket, Vxi11ReadAhead* ahead, std::uint8_t* out, std::uint32_t length) {
  if (ahead == nullptr) return Vxi11ReceiveAll(socket, out, length);
  while (length > 0) {
    if (ahead->begin == ahead->end) {
      // Large remainders go straight to their place; small ones read ahead.
      if (length >= Vxi11ReadAhead::kSize) return Vxi11ReceiveAll(socket, out, length);
      std::uint32_t status = 0;
      const std::uint32_t n = socket->Receive(ahead->data, Vxi11ReadAhead::kSize, &status);
      if (status != kStatusSuccess || n == 0) return false;
      ahead->begin = 0;
      ahead->end = n;
    }
    const std::uint32_t available = ahead->end - ahead->begin;
    const std::uint32_t chunk = length < available ? length : available;
    std::memcpy(out, ahead->data + ahead->begin, chunk);
    ahead->begin += chunk;
    out += chunk;
    length -= chunk;
  }
  return true;
}

// Reads and throws away `length` bytes of the stream.
bool Discard(COSSocket* socket, Vxi11ReadAhead* ahead, std::uint32_t length) {
  std::uint8_t scratch[512];
  while (length > 0) {
    const std::uint32_t chunk = length < sizeof scratch ? length : static_cast<std::uint32_t>(sizeof scratch);
    if (!Take(socket, ahead, scratch, chunk)) return false;
    length -= chunk;
  }
  return true;
}

}  // namespace

Vxi11RecordResult Vxi11ReadRecord(COSSocket* socket, std::uint8_t* buffer, std::uint32_t capacity,
                                  std::uint32_t drain_limit, std::uint32_t* length, Vxi11ReadAhead* read_ahead) {
  std::uint32_t kept = 0;
  std::uint64_t total = 0;
  bool last = false;
  *length = 0;
  while (!last) {
    std::uint8_t mark[4];
    if (!Take(socket, read_ahead, mark, sizeof mark)) return Vxi11RecordResult::kFailed;
    const std::uint32_t word = XdrGet(mark);
    last = (word & kRpcLastFragment) != 0;
    const std::uint32_t fragment = word & ~kRpcLastFragment;
    total += fragment;
    if (total > drain_limit) return Vxi11RecordResult::kFailed;
    const std::uint32_t room = capacity - kept;
    const std::uint32_t take = fragment < room ? fragment : room;
    if (take > 0 && !Take(socket, read_ahead, buffer + kept, take)) return Vxi11RecordResult::kFailed;
    kept += take;
    if (fragment > take && !Discard(socket, read_ahead, fragment - take)) return Vxi11RecordResult::kFailed;
  }
  *length = kept;
  return total > capacity ? Vxi11RecordResult::kTruncated : Vxi11RecordResult::kComplete;
}

bool Vxi11DecodeCall(const std::uint8_t* message, std::uint32_t length, Vxi11CallHeader* header) {
  *header = Vxi11CallHeader{};
  if (length < 4) return false;
  header->xid = XdrGet(message);
  std::memcpy(&header->xid_raw, message, 4);
  if (length < 24) return false;
  header->msg_type = XdrGet(message + 4);
  header->rpcvers = XdrGet(message + 8);
  header->prog = XdrGet(message + 12);
  header->vers = XdrGet(message + 16);
  header->proc = XdrGet(message + 20);
  std::uint32_t offset = 24;
  // Credential, then verifier: flavor, length, body padded to 4 bytes.
  for (int i = 0; i < 2; ++i) {
    if (length - offset < 8) return false;
    const std::uint32_t body = XdrGet(message + offset + 4);
    if (body > kRpcMaxAuthBody) return false;
    offset += 8;
    if (length - offset < XdrPadded(body)) return false;
    offset += XdrPadded(body);
  }
  header->args = message + offset;
  header->args_length = length - offset;
  return true;
}

bool Vxi11CheckCall(const Vxi11CallHeader& header, std::uint32_t prog, std::uint32_t vers, std::uint32_t* reason) {
  if (header.prog != prog) {
    *reason = kRpcReasonProgUnavail;
  } else if (header.rpcvers != kRpcVersion) {
    *reason = kRpcReasonRpcMismatch;
  } else if (header.vers != vers) {
    *reason = kRpcReasonProgMismatch;
  } else {
    return true;
  }
  return false;
}

std::uint32_t Vxi11PutAcceptedHeader(std::uint8_t* out, std::uint32_t xid_raw, std::uint32_t accept_stat) {
  std::memcpy(out, &xid_raw, 4);
  XdrPut(out + 4, kRpcReply);
  XdrPut(out + 8, 0);   // MSG_ACCEPTED
  XdrPut(out + 12, 0);  // verifier AUTH_NONE
  XdrPut(out + 16, 0);  // empty body
  XdrPut(out + 20, accept_stat);
  return 24;
}

std::uint32_t Vxi11BuildErrorReply(std::uint8_t* out, std::uint32_t xid_raw, std::uint32_t reason, std::uint32_t low,
                                   std::uint32_t high) {
  if (reason == kRpcReasonRpcMismatch) {
    std::memcpy(out, &xid_raw, 4);
    XdrPut(out + 4, kRpcReply);
    XdrPut(out + 8, 1);   // MSG_DENIED
    XdrPut(out + 12, 0);  // RPC_MISMATCH
    XdrPut(out + 16, kRpcVersion);
    XdrPut(out + 20, kRpcVersion);
    return 24;
  }
  std::uint32_t n = Vxi11PutAcceptedHeader(out, xid_raw, reason);
  if (reason == kRpcReasonProgMismatch) {
    XdrPut(out + n, low);
    XdrPut(out + n + 4, high);
    n += 8;
  }
  return n;
}

bool Vxi11SendRecord(COSSocket* socket, std::uint8_t* record_with_mark_room, std::uint32_t length,
                     std::uint32_t timeout_ms) {
  std::uint8_t* start = record_with_mark_room - 4;
  XdrPut(start, kRpcLastFragment | length);
  std::uint32_t status = 0;
  socket->SendAll(start, length + 4, timeout_ms, &status);
  return status == kStatusSuccess;
}

Vxi11ParseResult Vxi11ParseRecord(const std::uint8_t* data, std::uint32_t size, std::uint8_t* out,
                                  std::uint32_t capacity, std::uint32_t* length, std::uint32_t* consumed) {
  std::uint32_t at = 0;
  std::uint32_t kept = 0;
  for (;;) {
    if (size - at < 4) return Vxi11ParseResult::kIncomplete;
    const std::uint32_t word = XdrGet(data + at);
    const std::uint32_t fragment = word & ~kRpcLastFragment;
    if (fragment > capacity - kept) return Vxi11ParseResult::kTooLong;
    if (size - at - 4 < fragment) return Vxi11ParseResult::kIncomplete;
    if (fragment > 0) std::memcpy(out + kept, data + at + 4, fragment);
    kept += fragment;
    at += 4 + fragment;
    if ((word & kRpcLastFragment) != 0) break;
  }
  *length = kept;
  *consumed = at;
  return Vxi11ParseResult::kComplete;
}

std::uint32_t Vxi11ErrorFromStatus(std::uint32_t status) {
  for (const Vxi11ErrorRow& row : kVxi11ErrorRows) {
    if (row.status == status) return row.error;
  }
  return kVxi11ErrorDeviceNotAccessible;
}

void Vxi11SetReceiveTimeout(COSSocket* socket, std::uint32_t timeout_ms) {
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(timeout_ms / 1000);
  limit.tv_usec = static_cast<suseconds_t>((timeout_ms % 1000) * 1000);
  setsockopt(socket->fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}
