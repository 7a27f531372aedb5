// The abort channel of one connection: an RPC server for program 0x0607B0 version 1 (device_abort)
// on an ephemeral port of its own, served by its own thread so that an abort gets through while the
// connection's core thread is blocked in a call. One abort connection is served at a time; when the
// client drops it, the next one is accepted.
#pragma once

#include <cstdint>

#include "engine/COSListenSocket.h"
#include "engine/COSMutex.h"
#include "engine/COSSocket.h"
#include "engine/COSThread.h"

class CInstrumentServer;

class CVxi11AbortChannel : public COSThread {
 public:
  static constexpr std::uint32_t kReceiveCapacity = 4 + 40 + 2 * 400 + 4 + 64;

  // Listens on `address` (host order) at an ephemeral port and starts the thread. A reply that finds
  // no room in the send buffer within `send_timeout_ms` ends the abort connection.
  CVxi11AbortChannel(CInstrumentServer* server, std::uint32_t address, std::uint32_t send_timeout_ms);
  ~CVxi11AbortChannel() override;

  bool IsFailed() override { return failed_ != 0; }
  std::uint16_t GetPort() const { return listen_.GetPort(); }

 protected:
  void Run() override;

 private:
  void Serve();
  // Serves calls on one accepted connection until it ends.
  void ServeConnection(COSSocket* connection);
  // False when the reply could not be sent.
  bool SendErrorReply(COSSocket* connection, std::uint32_t xid_raw, std::uint32_t reason);

  std::uint8_t failed_ = 1;
  CInstrumentServer* server_;
  std::uint32_t send_timeout_ms_;
  COSListenSocket listen_;
  COSMutex connection_mutex_;
  COSSocket connection_;  // the connection being served, guarded by connection_mutex_
};
