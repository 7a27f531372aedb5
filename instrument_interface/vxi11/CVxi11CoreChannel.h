// Server side of the VXI-11 core protocol on one accepted TCP connection (program 0x0607AF version 1).
// Runs entirely in the connection's server thread: reads one call at a time, checks its header and
// answers it through the link operations.
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

  CVxi11CoreChannel(const COSSocket& connection, CInstrumentServer* server, const CVxi11LinkOperations* ops);
  ~CVxi11CoreChannel();
  CVxi11CoreChannel(const CVxi11CoreChannel&) = delete;
  CVxi11CoreChannel& operator=(const CVxi11CoreChannel&) = delete;

  bool IsFailed() const { return failed_ != 0; }
  // Serves calls until the connection ends.
  void Serve();
  // Wakes a Serve blocked in a receive (from another thread); the socket is closed by the destructor.
  void MarkClosing();
  // True once the client closed the connection (or it broke, or MarkClosing): from the connection's
  // thread, while a call waits.
  bool PeerClosed();
  void SendReadStbReply(std::uint32_t xid_raw, std::uint8_t status_byte, std::uint32_t status);
  void SendErrorReply(std::uint32_t xid_raw, std::uint32_t reason);

 private:
  using Handler = void (CVxi11CoreChannel::*)(const Vxi11CallHeader& call);

  void Dispatch(const std::uint8_t* message, std::uint32_t length, bool truncated);
  // Sends `words` result words after an accepted SUCCESS header.
  void SendResult(std::uint32_t xid_raw, const std::uint32_t* words, std::uint32_t count);

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
  bool truncated_ = false;
  CInstrumentServer* server_;
  const CVxi11LinkOperations* ops_;
  COSSocket socket_;
  std::uint8_t* receive_ = nullptr;
  std::uint8_t* transmit_ = nullptr;
  Vxi11ReadAhead* read_ahead_ = nullptr;
};
