// TCP stream socket of the instrument-interface layer, with IPv4 addresses and ports in host order.
//
// Failures never raise: they are status 7 (6 for a connect that timed out or was interrupted) with a
// zero result. Sends never raise SIGPIPE. A socket that another thread may be blocked on is woken with
// Shutdown; Close releases the descriptor and is called only once no other thread uses it (after the
// join of the thread that read it).
#pragma once

#include <cstdint>

class COSSocket {
 public:
  static constexpr std::uint32_t kNoTimeout = 0xFFFFFFFFu;

  COSSocket() = default;

  void CreateTcp(std::uint32_t* status);
  // Connects within `timeout_ms` (kNoTimeout: no limit); status 6 on time-out or interruption, 7 on
  // any other failure. On success the peer's address and port are stored.
  void Connect(std::uint32_t address, std::uint16_t port, std::uint32_t timeout_ms, std::uint32_t* status);
  // One send; the count sent (a short count is returned as it is), 0 with status 7 on failure.
  std::uint32_t Send(const void* buffer, std::uint32_t length, std::uint32_t* status);
  // Sends all `length` bytes, waiting for room in the send buffer no longer than `timeout_ms` in all
  // (kNoTimeout: no limit). Returns the count sent: all of it with status 0, less with status 6 when the
  // time ran out (a peer that does not read) or 7 on failure.
  std::uint32_t SendAll(const void* buffer, std::uint32_t length, std::uint32_t timeout_ms, std::uint32_t* status);
  // One receive; 0 with status 7 when the peer has closed, on failure or without a socket.
  std::uint32_t Receive(void* buffer, std::uint32_t length, std::uint32_t* status);
  // Ends both directions, which makes a blocked receive or accept of another thread return; keeps the
  // descriptor.
  void Shutdown();
  // Shuts down and closes the descriptor (fd -1).
  void Close();

  std::int32_t fd = -1;
  std::uint32_t local_address = 0;
  std::uint16_t local_port = 0;
  std::uint32_t peer_address = 0;
  std::uint16_t peer_port = 0;
};

// Byte order of 32-bit words on the wire (the processor is little-endian, the wire big-endian).
std::uint32_t HostToNet32(std::uint32_t value);
std::uint32_t NetToHost32(std::uint32_t value);
