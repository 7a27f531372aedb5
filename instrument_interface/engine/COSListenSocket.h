// TCP listening socket of the instrument-interface layer (addresses and ports in host order).
//
// The thread blocked in Accept is woken by Shutdown from another thread; Close follows its join.
#pragma once

#include <cstdint>

#include "engine/COSSocket.h"

class COSListenSocket {
 public:
  static constexpr std::uint32_t kAnyAddress = 0;  // INADDR_ANY

  COSListenSocket() = default;

  void CreateTcp(std::uint32_t* status);
  // SO_REUSEADDR, bind to `address` and `port` (0: an ephemeral port), listen with a backlog of 128,
  // then read the bound address and port back. Any failure gives status 7.
  void BindAndListen(std::uint16_t port, std::uint32_t* status, std::uint32_t address = kAnyAddress);
  std::uint16_t GetPort() const { return port; }
  // The accepted connection with its local and peer addresses, or a socket with fd -1 and status 7.
  static COSSocket Accept(COSListenSocket* listen_socket, std::uint32_t* status);
  void Shutdown();
  void Close();

  std::int32_t fd = -1;
  std::uint32_t address = 0;
  std::uint16_t port = 0;
};
