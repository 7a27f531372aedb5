// A VXI-11 byte stream as a host might send it: record marking read by the record reader, each record
// decoded as a call, and answered as the built-in portmapper would. The same bytes go through the
// parser of streams read without blocking (the built-in portmapper's TCP side), which must find the
// same records, refuse the long ones and never read past what arrived.
//
// Input: the stream itself (at most 32 KiB, written to a socket pair before reading starts).
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/COSSocket.h"
#include "vxi11/CMiniPortMapper.h"
#include "vxi11/Vxi11Rpc.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 32 * 1024) return 0;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  int buffer = 256 * 1024;
  setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  std::size_t written = 0;
  while (written < size) {
    const ssize_t n = write(fds[1], data + written, size - written);
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  shutdown(fds[1], SHUT_WR);
  COSSocket reader;
  reader.fd = fds[0];
  std::uint8_t record[4200];
  // Where the parser stands in the stream; it follows the reader while the records are whole.
  std::uint32_t parsed = 0;
  bool parser_in_step = true;
  std::vector<std::uint8_t> joined(sizeof record);
  for (;;) {
    std::uint32_t length = 0;
    const Vxi11RecordResult result = Vxi11ReadRecord(&reader, record, sizeof record, 64 * 1024, &length);
    if (parser_in_step) {
      std::uint32_t parsed_length = 0;
      std::uint32_t consumed = 0;
      const Vxi11ParseResult parse =
          Vxi11ParseRecord(data + parsed, static_cast<std::uint32_t>(written) - parsed, joined.data(),
                           static_cast<std::uint32_t>(joined.size()), &parsed_length, &consumed);
      if (result == Vxi11RecordResult::kComplete) {
        if (parse != Vxi11ParseResult::kComplete || parsed_length != length ||
            std::memcmp(joined.data(), record, length) != 0 || consumed > written - parsed) {
          __builtin_trap();
        }
        parsed += consumed;
      } else {
        // A record longer than the room, or a stream that ends inside one.
        if (parse == Vxi11ParseResult::kComplete) __builtin_trap();
        parser_in_step = false;
      }
    }
    if (result == Vxi11RecordResult::kFailed) break;
    if (length > sizeof record) __builtin_trap();
    Vxi11CallHeader call;
    if (Vxi11DecodeCall(record, length, &call)) {
      // The arguments lie inside the record.
      if (call.args < record || call.args + call.args_length != record + length) __builtin_trap();
      std::uint32_t reason = 0;
      Vxi11CheckCall(call, 0x0607AF, 1, &reason);
    }
    std::uint8_t reply[64];
    const std::uint32_t n = CMiniPortMapper::AnswerCall(111, record, length, reply);
    if (n > sizeof reply) __builtin_trap();
  }
  reader.Close();
  close(fds[1]);
  return 0;
}
