// Client of the host's interrupt service (program 0x0607B1 version 1, device_intr_srq) over TCP or
// UDP, set up by create_intr_chan and removed by destroy_intr_chan.
//
// Sends never wait (a request that does not fit the send buffer is dropped) and replies of the host are read and thrown
// away without waiting, so a slow or silent host cannot stall the thread raising the request.
#pragma once

#include <cstdint>

#include "engine/COSMutex.h"
#include "engine/COSSocket.h"
#include "engine/COSUdpSocket.h"

class CVxi11InterruptChannel {
 public:
  static constexpr std::int32_t kFamilyNone = -1;
  static constexpr std::int32_t kFamilyTcp = 0;
  static constexpr std::int32_t kFamilyUdp = 1;
  static constexpr std::uint32_t kMaxHandle = 40;
  static constexpr std::uint32_t kConnectTimeoutMs = 10000;

  CVxi11InterruptChannel();
  ~CVxi11InterruptChannel();
  CVxi11InterruptChannel(const CVxi11InterruptChannel&) = delete;
  CVxi11InterruptChannel& operator=(const CVxi11InterruptChannel&) = delete;

  bool IsFailed() const { return failed_ != 0; }
  void Create(std::uint32_t host_address, std::uint16_t host_port, std::int32_t family, std::uint32_t* status);
  void Destroy(std::uint32_t* status);
  void SendSrq(std::uint32_t handle_length, const std::uint8_t* handle, std::uint32_t* status);

  // The device_intr_srq call (without record mark) for `handle` and `xid`; returns its length.
  static std::uint32_t BuildSrqCall(std::uint8_t* out, std::uint32_t xid, std::uint32_t handle_length,
                                    const std::uint8_t* handle);

 private:
  void CloseLocked();
  void DrainRepliesLocked();

  COSMutex mutex_;
  std::uint32_t host_address_ = 0;
  std::uint16_t host_port_ = 0;
  std::uint8_t established_ = 0;
  std::uint8_t failed_ = 1;
  std::int32_t family_ = kFamilyNone;
  std::uint32_t next_xid_ = 1;
  COSSocket tcp_;
  COSUdpSocket udp_;
};
