// TCP front of the VXI-11 server: the core channel's listening socket, its registration with the
// portmapper (or the built-in portmapper when none answers), and the listener thread that gives every
// accepted connection its CInstrumentServer.
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
  // Address the core channel listens on (host order); loopback unless configured otherwise.
  std::uint32_t listen_address = 0x7F000001;
  // The portmapper asked, and the port the built-in one serves on (0: an ephemeral port, for tests).
  std::uint16_t portmapper_port = 111;
  // How long the built-in portmapper keeps an idle TCP connection.
  std::uint32_t portmapper_idle_ms = 5000;
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
  void Reap();

  std::uint8_t failed_ = 1;
  bool constructed_ = false;
  CVxi11ServerOptions options_;
  COSListenSocket listen_;
  CPortMapperClient* portmapper_ = nullptr;
  CMiniPortMapper* mini_ = nullptr;
  COSMutex* mutex_ = nullptr;
  Entry* servers_ = nullptr;
};
