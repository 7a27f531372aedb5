// Datagram socket of the instrument-interface layer (addresses and ports in host order).
//
// A thread waiting in ReceiveFrom is woken by Shutdown from another thread (it then reports status 7);
// Close follows its join.
#pragma once

#include <cstdint>

class COSUdpSocket {
 public:
  static constexpr std::uint32_t kNoTimeout = 0xFFFFFFFFu;
  static constexpr std::uint32_t kAnyAddress = 0;

  COSUdpSocket() = default;

  void Create(std::uint32_t* status);
  // SO_REUSEADDR, bind to `address` and `port`; any failure gives 7.
  void Bind(std::uint16_t port, std::uint32_t* status, std::uint32_t address = kAnyAddress);
  // The bound port (after Bind), 0 when unknown.
  std::uint16_t LocalPort() const;
  std::uint32_t SendTo(const void* buffer, std::uint32_t length, std::uint32_t address, std::uint16_t port,
                       std::uint32_t* status);
  // Waits up to `timeout_ms` (kNoTimeout: no limit) for a datagram: status 6 and 0 on time-out; status
  // 7 and 0 for an empty datagram, a failure, a shut-down socket or no socket; else the count and the
  // sender.
  std::uint32_t ReceiveFrom(void* buffer, std::uint32_t size, std::uint32_t timeout_ms, std::uint32_t* sender_address,
                            std::uint16_t* sender_port, std::uint32_t* status);
  void Shutdown();
  void Close();

  std::int32_t fd = -1;
};
