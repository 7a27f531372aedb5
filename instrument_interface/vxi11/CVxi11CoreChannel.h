// Server side of the VXI-11 core protocol on one accepted TCP connection (program 0x0607AF version 1).
// Runs entirely in the connection's server thread: reads one call at a time, checks its header and
// answers it through the link operations.
//
// Replies go out after the link operation has returned, so a client that does not read its replies
// holds no lock another link needs while its send waits; each reply has the send time-out to leave,
// and a reply that cannot go out in that time ends the connection (its links go with it).
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/COSSocket.h"
#include "vxi11/Vxi11Rpc.h"

class CInstrumentServer;
struct CVxi11LinkOperations;

class CVxi11CoreChannel {
 public:
  static constexpr std::uint32_t kProcedureCount = 27;
  static constexpr std::uint32_t kMaxData = 4096;
  // Call header with the largest authenticators, device_write's arguments and 4096 data bytes.
  static constexpr std::uint32_t kReceiveCapacity = 40 + 2 * kRpcMaxAuthBody + 20 + kMaxData;
  // Longest record read and thrown away before the connection is given up.
  static constexpr std::uint32_t kDrainLimit = 1u << 20;
  // How long one reply may wait for room in the connection's send buffer.
  static constexpr std::uint32_t kDefaultSendTimeoutMs = 2000;

  CVxi11CoreChannel(const COSSocket& connection, CInstrumentServer* server, const CVxi11LinkOperations* ops,
                    std::uint32_t send_timeout_ms = kDefaultSendTimeoutMs);
  ~CVxi11CoreChannel();
  CVxi11CoreChannel(const CVxi11CoreChannel&) = delete;
  CVxi11CoreChannel& operator=(const CVxi11CoreChannel&) = delete;

  bool IsFailed() const { return failed_ != 0; }
  // Serves calls until the connection ends or a reply cannot be sent.
  void Serve();
  // Wakes a Serve blocked in a receive or send (from another thread); the socket is closed by the
  // destructor.
  void MarkClosing();
  // The device_readstb reply, given by the link operation on the serving thread; it is sent once the
  // operation has returned.
  void KeepReadStbReply(std::uint32_t xid_raw, std::uint8_t status_byte, std::uint32_t status);
  // True once the client closed the connection (or it broke, or MarkClosing): from the connection's
  // thread, while a call waits.
  bool PeerClosed();
  void SendErrorReply(std::uint32_t xid_raw, std::uint32_t reason);

 private:
  using Handler = void (CVxi11CoreChannel::*)(const Vxi11CallHeader& call);

  void Dispatch(const std::uint8_t* message, std::uint32_t length, bool truncated);
  // Sends `words` result words after an accepted SUCCESS header.
  void SendResult(std::uint32_t xid_raw, const std::uint32_t* words, std::uint32_t count);
  // Sends one reply record (4 free bytes before `record` for the mark); a failure ends Serve.
  void SendRecord(std::uint8_t* record, std::uint32_t length);
  void SendReadStbReply(std::uint32_t xid_raw, std::uint8_t status_byte, std::uint32_t status);

  void ProcUnavailable(const Vxi11CallHeader& call);
  void CreateLink(const Vxi11CallHeader& call);
  void DeviceWrite(const Vxi11CallHeader& call);
  void DeviceRead(const Vxi11CallHeader& call);
  void DeviceReadStb(const Vxi11CallHeader& call);
  void DeviceGeneric(const Vxi11CallHeader& call);
  void DeviceLock(const Vxi11CallHeader& call);
  void DeviceUnlock(const Vxi11CallHeader& call);
  void EnableSrq(const Vxi11CallHeader& call);
  void DeviceDocmd(const Vxi11CallHeader& call);
  void DestroyLink(const Vxi11CallHeader& call);
  void CreateIntrChan(const Vxi11CallHeader& call);
  void DestroyIntrChan(const Vxi11CallHeader& call);

  Handler table_[kProcedureCount];
  std::uint8_t failed_ = 1;
  std::atomic<bool> closing_{false};
  bool broken_ = false;  // a reply could not be sent: the stream is out of step
  bool truncated_ = false;
  std::uint32_t send_timeout_ms_;
  struct ReadStbReply {
    bool kept = false;
    std::uint32_t xid_raw = 0;
    std::uint8_t status_byte = 0;
    std::uint32_t status = 0;
  } readstb_reply_;
  CInstrumentServer* server_;
  const CVxi11LinkOperations* ops_;
  COSSocket socket_;
  std::uint8_t* receive_ = nullptr;
  std::uint8_t* transmit_ = nullptr;
  Vxi11ReadAhead* read_ahead_ = nullptr;
};
