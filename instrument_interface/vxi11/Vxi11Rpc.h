// ONC RPC framing shared by the VXI-11 channels and the built-in portmapper: XDR words, record
// marking over TCP, call-header decoding and the standard reply headers.
//
// Every reader here checks lengths against the bytes actually received; nothing reads past a buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

class COSSocket;

// Program numbers and fixed protocol values.
constexpr std::uint32_t kVxi11CoreProgram = 0x0607AF;
constexpr std::uint32_t kVxi11AbortProgram = 0x0607B0;
constexpr std::uint32_t kVxi11InterruptProgram = 0x0607B1;
constexpr std::uint32_t kPortMapperProgram = 100000;
constexpr std::uint32_t kRpcVersion = 2;
constexpr std::uint32_t kRpcCall = 0;
constexpr std::uint32_t kRpcReply = 1;
constexpr std::uint32_t kRpcLastFragment = 0x80000000u;
// Largest opaque_auth body (RFC 5531).
constexpr std::uint32_t kRpcMaxAuthBody = 400;

// Reasons for an RPC-level error reply.
enum Vxi11RpcReason : std::uint32_t {
  kRpcReasonRpcMismatch = 0,   // MSG_DENIED / RPC_MISMATCH 2..2
  kRpcReasonProgUnavail = 1,   // PROG_UNAVAIL
  kRpcReasonProgMismatch = 2,  // PROG_MISMATCH low..high
  kRpcReasonProcUnavail = 3,   // PROC_UNAVAIL
  kRpcReasonGarbageArgs = 4,   // GARBAGE_ARGS
};

// Big-endian 32-bit words at any alignment.
std::uint32_t XdrGet(const std::uint8_t* p);
void XdrPut(std::uint8_t* p, std::uint32_t value);
// Bytes an opaque of `length` takes with its padding to a multiple of 4.
constexpr std::uint32_t XdrPadded(std::uint32_t length) { return (length + 3u) & ~3u; }

// Outcome of reading one record.
enum class Vxi11RecordResult {
  kComplete,   // a whole record is in the buffer
  kTruncated,  // the record was longer than the buffer: its first bytes are kept, the rest drained
  kFailed,     // receive failure, peer closed, or a record beyond the drain limit (stream unusable)
};

// Bytes read ahead from a stream socket, so that a record mark and the record behind it usually come
// in with one receive. Only for a socket read by one thread and by nothing else.
struct Vxi11ReadAhead {
  static constexpr std::uint32_t kSize = 8192;
  std::uint8_t data[kSize];
  std::uint32_t begin = 0;
  std::uint32_t end = 0;
};

// Reads one record-marked record (all its fragments) into `buffer`. Bytes beyond `capacity` are read
// and discarded, so the stream stays at a record boundary, up to `drain_limit` bytes in all; a record
// longer than that fails (the caller closes the connection). `*length` is the number of bytes kept.
// With `read_ahead`, bytes beyond the record may be read and kept there for the next call.
Vxi11RecordResult Vxi11ReadRecord(COSSocket* socket, std::uint8_t* buffer, std::uint32_t capacity,
                                  std::uint32_t drain_limit, std::uint32_t* length,
                                  Vxi11ReadAhead* read_ahead = nullptr);

// A decoded call header. `args` points into the message; `args_length` is what is left of it.
struct Vxi11CallHeader {
  std::uint32_t xid = 0;  // as received (wire order kept in `xid_raw`)
  std::uint32_t xid_raw = 0;
  std::uint32_t msg_type = 0;
  std::uint32_t rpcvers = 0;
  std::uint32_t prog = 0;
  std::uint32_t vers = 0;
  std::uint32_t proc = 0;
  const std::uint8_t* args = nullptr;
  std::uint32_t args_length = 0;
};

// Decodes the call header of `message`. The credential and verifier bodies are skipped by their
// declared lengths (each at most 400 bytes). Returns false when the message is too short for the
// header or an authenticator is oversized or runs past the end; `header` then holds whatever was
// decodable (the xid whenever 4 bytes arrived), so the caller can still answer GARBAGE_ARGS.
bool Vxi11DecodeCall(const std::uint8_t* message, std::uint32_t length, Vxi11CallHeader* header);

// Decodes the fixed words at the start of a call's arguments into `args`, a record of 32-bit fields in
// their order on the wire. False (and `args` untouched) when the call is too short for them. Data that
// follows the words (an opaque, a string) starts at call.args + sizeof(Args).
template <class Args>
bool Vxi11DecodeArgs(const Vxi11CallHeader& call, Args* args) {
  static_assert(std::is_trivially_copyable_v<Args> && sizeof(Args) % 4 == 0, "a record of 32-bit words");
  constexpr std::uint32_t kWords = sizeof(Args) / 4;
  if (call.args == nullptr || call.args_length < sizeof(Args)) return false;
  std::uint32_t words[kWords];
  for (std::uint32_t i = 0; i < kWords; ++i) words[i] = XdrGet(call.args + 4 * i);
  std::memcpy(args, words, sizeof(Args));
  return true;
}

// Checks prog, rpcvers and vers in this order; false with the reason to answer on the first mismatch.
// Callers check msg_type and the procedure in their own order.
bool Vxi11CheckCall(const Vxi11CallHeader& header, std::uint32_t prog, std::uint32_t vers, std::uint32_t* reason);

// Writes an accepted reply header (xid, REPLY, MSG_ACCEPTED, AUTH_NONE verifier, accept_stat) at `out`;
// returns 24.
std::uint32_t Vxi11PutAcceptedHeader(std::uint8_t* out, std::uint32_t xid_raw, std::uint32_t accept_stat);

// Builds the error reply for `reason` at `out` (without record mark); `low`/`high` are the versions a
// PROG_MISMATCH reports. RPC_MISMATCH always reports 2..2. Returns the length (24 or 32).
std::uint32_t Vxi11BuildErrorReply(std::uint8_t* out, std::uint32_t xid_raw, std::uint32_t reason, std::uint32_t low,
                                   std::uint32_t high);

// Sends `length` bytes at `record` (which must have 4 free bytes before it for the mark) as one
// last fragment, completing short sends, within `timeout_ms` in all. False on failure, and when the
// peer left no room for it in that time: the record may then have gone in part, so the stream is out
// of step and the caller gives the connection up.
bool Vxi11SendRecord(COSSocket* socket, std::uint8_t* record_with_mark_room, std::uint32_t length,
                     std::uint32_t timeout_ms);

// Outcome of looking for a record in bytes received so far.
enum class Vxi11ParseResult {
  kComplete,    // a whole record was taken
  kIncomplete,  // more bytes are needed
  kTooLong,     // the record (its fragments together) is longer than the room given for it
};

// For a stream read without blocking: takes the first whole record from the `size` bytes at `data`,
// joining its fragments into `out` (room for `capacity` bytes). On kComplete, `*length` is the record's
// length and `*consumed` the bytes of `data` it took (record marks included); nothing is taken
// otherwise. A record longer than `capacity` is refused as soon as its marks say so.
Vxi11ParseResult Vxi11ParseRecord(const std::uint8_t* data, std::uint32_t size, std::uint8_t* out,
                                  std::uint32_t capacity, std::uint32_t* length, std::uint32_t* consumed);

// Receives exactly `length` bytes, completing short receives; false on failure or close.
bool Vxi11ReceiveAll(COSSocket* socket, std::uint8_t* buffer, std::uint32_t length);

// Bounds every later receive on the socket to `timeout_ms` (a receive that waits longer fails).
void Vxi11SetReceiveTimeout(COSSocket* socket, std::uint32_t timeout_ms);

// VXI-11 error code for an internal status.
std::uint32_t Vxi11ErrorFromStatus(std::uint32_t status);
