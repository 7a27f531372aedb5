// One VXI-11 connection: a thread serving the connection's core channel, with its abort channel and
// interrupt channel beside it.
#pragma once

#include <cstdint>

#include "engine/COSMutex.h"
#include "engine/COSSocket.h"
#include "engine/COSThread.h"
#include "vxi11/CVxi11LinkManager.h"

class CInstrumentServerManager;
class CVxi11AbortChannel;
class CVxi11CoreChannel;
class CVxi11InterruptChannel;
struct CVxi11LinkOperations;

class CInstrumentServer : public COSThread, public CVxi11Connection {
 public:
  // Takes over the accepted connection; starts the thread when everything could be created. Replies
  // on the core and abort channels may wait `send_timeout_ms` for room in their send buffers.
  CInstrumentServer(const COSSocket& connection, CInstrumentServerManager* manager,
                    const CVxi11LinkOperations* operations, std::uint32_t send_timeout_ms);
  ~CInstrumentServer() override;

  bool IsFailed() override { return failed_ != 0; }
  // Closes the connection so that the thread ends, then joins it.
  void Stop();

  const CVxi11LinkOperations* Operations() const { return operations_; }
  std::uint16_t GetAbortPort();
  void CreateInterruptChannel(std::uint32_t host_address, std::uint16_t host_port, std::int32_t family,
                              std::uint32_t* status);
  void DestroyInterruptChannel(std::uint32_t* status);
  // Safe from any thread; a request for a connection that has ended reports kVxi11StatusChannelNotEstablished.
  void SendSrq(std::uint32_t handle_length, const std::uint8_t* handle, std::uint32_t* status) override;
  // Called from within the device_readstb operation, on the connection's own thread; the reply goes
  // out once the operation has returned (so no send waits while it holds the device).
  void SendReadStbReply(std::uint32_t xid, std::uint8_t status_byte, std::uint32_t internal_status,
                        std::uint32_t* status) override;
  // The client closed the connection: asked by a waiting link operation, on the connection's thread.
  bool IsGone() override;

 protected:
  void Run() override;

 private:
  std::uint8_t failed_ = 1;
  COSMutex* mutex_ = nullptr;
  CVxi11AbortChannel* abort_ = nullptr;
  CVxi11InterruptChannel* interrupt_ = nullptr;
  CVxi11CoreChannel* core_ = nullptr;
  CInstrumentServerManager* manager_;
  const CVxi11LinkOperations* operations_;
  COSSocket pending_connection_;  // closed here when the core channel could not take it over
};
