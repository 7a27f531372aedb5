// TCP front of the VXI-11 server: the core channel's listening socket, its registration with the
// portmapper (or the built-in portmapper when none answers), and the listener thread that gives every
// accepted connection its CInstrumentServer.
//
// At most `max_connections` connections are served at once (each has two threads, the core channel's
// and the abort channel's); the listener accepts and at once closes any connection beyond them, so
// the admitted clients and the rest of the firmware keep their share however many clients knock.
#pragma once

#include <cstdint>

#include "engine/COSListenSocket.h"
#include "engine/COSMutex.h"
#include "engine/COSThread.h"

class CInstrumentServer;
class CMiniPortMapper;
class CPortMapperClient;
struct CVxi11LinkOperations;

struct CVxi11ServerOptions {
  static constexpr std::uint32_t kDefaultMaxConnections = 32;

  // Address the core channel, the abort channels and the built-in portmapper listen on (host order):
  // loopback unless configured otherwise (0 is every address of the host).
  std::uint32_t listen_address = 0x7F000001;
  // The portmapper asked, and the port the built-in one serves on (0: an ephemeral port, for tests).
  std::uint16_t portmapper_port = 111;
  // How long a TCP connection of the built-in portmapper may take to deliver each call.
  std::uint32_t portmapper_receive_timeout_ms = 1000;
  // How long a reply of the core or abort channel may wait for the client to make room for it.
  std::uint32_t reply_send_timeout_ms = 2000;
  // Connections served at once; more are refused at accept.
  std::uint32_t max_connections = kDefaultMaxConnections;
  const CVxi11LinkOperations* operations = nullptr;
};

class CInstrumentServerManager : public COSThread {
 public:
  explicit CInstrumentServerManager(const CVxi11ServerOptions& options);
  ~CInstrumentServerManager() override;

  bool IsFailed() override { return failed_ != 0; }
  std::uint16_t GetPort() const { return listen_.GetPort(); }
  // The built-in portmapper, null when a system portmapper took the registration.
  CMiniPortMapper* MiniPortMapper() const { return mini_; }

  void AddServer(CInstrumentServer* server, std::uint32_t* status);
  void MarkServerFinished(CInstrumentServer* server, std::uint32_t* status);

 protected:
  void Run() override;

 private:
  struct Entry {
    std::uint8_t alive;
    CInstrumentServer* server;
    Entry* next;
  };

  void Register(std::uint32_t* status);
  // Stops and deletes the connections that have ended; returns how many are still served.
  std::uint32_t Reap();

  std::uint8_t failed_ = 1;
  bool constructed_ = false;
  CVxi11ServerOptions options_;
  COSListenSocket listen_;
  CPortMapperClient* portmapper_ = nullptr;
  CMiniPortMapper* mini_ = nullptr;
  COSMutex* mutex_ = nullptr;
  Entry* servers_ = nullptr;
};
