// A USBTMC / USB488 host-side client, the way the Linux usbtmc driver talks to an instrument: it
// enumerates the device, finds the interface of class 0xFE subclass 3 and its bulk-OUT, bulk-IN and
// interrupt-IN endpoints, then sends messages (DEV_DEP_MSG_OUT with EOM), asks for responses
// (REQUEST_DEV_DEP_MSG_IN and bulk-IN reads until EOM), triggers, runs the abort and clear sequences
// and the USB488 requests (READ_STATUS_BYTE, REN_CONTROL, GO_TO_LOCAL, LOCAL_LOCKOUT), and reads the
// interrupt-IN notifications (status byte replies 0x80|bTag, service requests 0x81).
//
// The client reaches the bus through UsbBus, which UsbHostBus implements on sim::UsbHost; tests put a
// scripted device behind the same interface. Every failure comes back as a UsbtmcResult (a stall, a
// time-out, a USBTMC status, a malformed reply), never as an exception or a crash.
//
// Thread safety: one thread at a time, as the UsbHost below it.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "sim/usb_device.h"

namespace sim {

// What the client needs of a USB host. Frames count as UsbHost's do.
class UsbBus {
 public:
  virtual ~UsbBus() = default;
  virtual UsbEnumeration Enumerate(std::uint8_t address) = 0;
  virtual UsbTransfer Control(const UsbSetup& setup) = 0;
  // Packets until a short one or `max_bytes`; NAKs retried for `frames` frames.
  virtual UsbTransfer ReadIn(unsigned endpoint, std::size_t max_bytes, std::uint32_t frames) = 0;
  // One IN packet, NAKs retried for `frames` frames.
  virtual UsbTransfer ReadPacket(unsigned endpoint, std::uint32_t frames) = 0;
  virtual UsbTransfer WriteOut(unsigned endpoint, const std::vector<std::uint8_t>& data, std::uint32_t frames) = 0;
  virtual std::chrono::microseconds FramePeriod() const = 0;
  virtual void WaitFrames(std::uint32_t frames) = 0;
};

class UsbHostBus final : public UsbBus {
 public:
  explicit UsbHostBus(UsbHost& host) : host_(host) {}
  UsbEnumeration Enumerate(std::uint8_t address) override { return host_.Enumerate(address); }
  UsbTransfer Control(const UsbSetup& setup) override { return host_.Control(setup); }
  UsbTransfer ReadIn(unsigned endpoint, std::size_t max_bytes, std::uint32_t frames) override {
    return host_.ReadIn(endpoint, max_bytes, frames);
  }
  UsbTransfer ReadPacket(unsigned endpoint, std::uint32_t frames) override {
    return host_.ReadPacket(endpoint, frames);
  }
  UsbTransfer WriteOut(unsigned endpoint, const std::vector<std::uint8_t>& data, std::uint32_t frames) override {
    return host_.WriteOut(endpoint, data, frames);
  }
  std::chrono::microseconds FramePeriod() const override { return UsbHost::FramePeriod(); }
  void WaitFrames(std::uint32_t frames) override { host_.WaitFrames(frames); }

 private:
  UsbHost& host_;
};

namespace usbtmc {
// Message ids of the bulk headers.
inline constexpr std::uint8_t kDevDepMsgOut = 1;
inline constexpr std::uint8_t kRequestDevDepMsgIn = 2;
inline constexpr std::uint8_t kDevDepMsgIn = 2;
inline constexpr std::uint8_t kTrigger = 128;
inline constexpr std::size_t kHeaderSize = 12;
// Class requests.
inline constexpr std::uint8_t kInitiateAbortBulkOut = 1;
inline constexpr std::uint8_t kCheckAbortBulkOutStatus = 2;
inline constexpr std::uint8_t kInitiateAbortBulkIn = 3;
inline constexpr std::uint8_t kCheckAbortBulkInStatus = 4;
inline constexpr std::uint8_t kInitiateClear = 5;
inline constexpr std::uint8_t kCheckClearStatus = 6;
inline constexpr std::uint8_t kGetCapabilities = 7;
inline constexpr std::uint8_t kIndicatorPulse = 64;
inline constexpr std::uint8_t kReadStatusByte = 128;
inline constexpr std::uint8_t kRenControl = 160;
inline constexpr std::uint8_t kGoToLocal = 161;
inline constexpr std::uint8_t kLocalLockout = 162;
// USBTMC_status values.
inline constexpr std::uint8_t kStatusSuccess = 0x01;
inline constexpr std::uint8_t kStatusPending = 0x02;
inline constexpr std::uint8_t kStatusInterruptInBusy = 0x20;
inline constexpr std::uint8_t kStatusFailed = 0x80;
inline constexpr std::uint8_t kStatusTransferNotInProgress = 0x81;
inline constexpr std::uint8_t kStatusSplitNotInProgress = 0x82;
inline constexpr std::uint8_t kStatusSplitInProgress = 0x83;
// Interrupt-IN bNotify1 of a service request.
inline constexpr std::uint8_t kNotifySrq = 0x81;
}  // namespace usbtmc

enum class UsbtmcError {
  kOk,
  kNotOpen,         // Open has not succeeded
  kEnumeration,     // the device did not enumerate
  kNoInterface,     // no USBTMC interface with bulk-OUT and bulk-IN endpoints
  kTransfer,        // a transfer ended with a stall, time-out or no response (see `outcome`)
  kStatus,          // the device answered with a USBTMC status other than success (see `status`)
  kBadReply,        // a reply or header that does not follow USBTMC
  kNoInterruptIn,   // the operation needs the interrupt-IN endpoint
  kInvalidArgument  // the caller asked for something USBTMC cannot carry
};
const char* UsbtmcErrorName(UsbtmcError error);

struct UsbtmcResult {
  UsbtmcError error = UsbtmcError::kOk;
  UsbOutcome outcome = UsbOutcome::kOk;  // for kTransfer
  std::uint8_t status = 0;               // USBTMC_status of the last class request, 0 when none
  std::string step;                      // what failed
  bool ok() const { return error == UsbtmcError::kOk; }
  // One line: "ok", or the step and the cause.
  std::string Describe() const;
};

struct UsbtmcEndpoints {
  std::uint8_t interface_number = 0;
  std::uint8_t bulk_out = 0;  // endpoint numbers (0: none)
  std::uint8_t bulk_in = 0;
  std::uint8_t interrupt_in = 0;
  std::uint16_t bulk_out_max_packet = 0;
  std::uint16_t bulk_in_max_packet = 0;
  std::uint8_t interface_protocol = 0;  // 1: USB488
};

// Finds the first USBTMC interface (class 0xFE, subclass 3) of a configuration descriptor set and its
// endpoints; false when there is none with a bulk-OUT and a bulk-IN endpoint. Reads only inside
// `configuration` (descriptors with a bLength below 2 or past the end stop the walk).
bool FindUsbtmcInterface(const std::vector<std::uint8_t>& configuration, UsbtmcEndpoints* found);

// The GET_CAPABILITIES reply.
struct UsbtmcCapabilities {
  std::uint16_t bcd_usbtmc = 0;
  std::uint8_t interface_capabilities = 0;  // bit 2 INDICATOR_PULSE, bit 1 talk-only, bit 0 listen-only
  std::uint8_t device_capabilities = 0;     // bit 0 TermChar
  std::uint16_t bcd_usb488 = 0;
  std::uint8_t usb488_interface_capabilities = 0;
  std::uint8_t usb488_device_capabilities = 0;  // bit 2 SR1, bit 1 RL1, bit 0 DT1
  std::vector<std::uint8_t> raw;
};

struct UsbtmcReadOptions {
  std::uint32_t transfer_size = 4096;     // TransferSize of each REQUEST_DEV_DEP_MSG_IN
  std::optional<std::uint8_t> term_char;  // TermCharEnabled with this TermChar
};

// One DEV_DEP_MSG_IN transfer as received.
struct UsbtmcChunk {
  std::string data;
  bool eom = false;
  bool term_char = false;  // bmTransferAttributes bit 1
  std::uint32_t transfer_size = 0;
};

class UsbtmcClient {
 public:
  // Real time that a bulk or interrupt transfer may wait for the device without it moving a packet
  // (the usbtmc driver's default time-out is 5 s).
  static constexpr std::chrono::milliseconds kDefaultTimeout{5000};
  // The most bulk-IN reads that empty the device's FIFO in an abort or clear.
  static constexpr int kMaxReadsToClear = 100;
  // The most CHECK_*_STATUS polls before an abort or clear is given up.
  static constexpr int kMaxStatusPolls = 100;

  explicit UsbtmcClient(UsbBus& bus) : bus_(bus) {}

  // Enumerates the device at `address` (SET_CONFIGURATION included) and finds its USBTMC interface.
  UsbtmcResult Open(std::uint8_t address = 1);
  bool IsOpen() const { return open_; }
  // Forgets the device (the next operation needs Open again).
  void Close() { open_ = false; }
  const UsbtmcEndpoints& endpoints() const { return endpoints_; }
  const UsbEnumeration& enumeration() const { return enumeration_; }

  void set_timeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
  // Largest payload of one DEV_DEP_MSG_OUT transfer; a longer message goes in several transfers with
  // EOM on the last only. 0: one transfer per message.
  void set_max_transfer(std::uint32_t bytes) { max_transfer_ = bytes; }
  // When on, a read whose bulk-IN transfer times out ends the request it left open on the device
  // (AbortBulkIn with that request's bTag), so that the device takes the next message; the read
  // still reports the time-out. Off by default, as in the usbtmc driver.
  void set_abort_on_timeout(bool on) { abort_on_timeout_ = on; }

  // bTag of the last bulk-OUT header sent (0 before any).
  std::uint8_t last_tag() const { return last_tag_; }
  // The bTag the next bulk-OUT header will carry (1 to 255, never 0).
  std::uint8_t next_tag() const { return next_tag_; }

  // DEV_DEP_MSG_OUT of `message`, EOM set on the last transfer when `eom`.
  UsbtmcResult Write(const std::string& message, bool eom = true);
  // Only the header and the first `payload_bytes` bytes of a DEV_DEP_MSG_OUT announcing `message`
  // whole: the device is left waiting in the middle of the transfer (for the abort sequence).
  UsbtmcResult WritePartial(const std::string& message, std::size_t payload_bytes);
  // One REQUEST_DEV_DEP_MSG_IN and its bulk-IN transfer.
  UsbtmcResult ReadChunk(const UsbtmcReadOptions& options, UsbtmcChunk* chunk);
  // Only the REQUEST_DEV_DEP_MSG_IN, no bulk-IN read (for the abort sequence).
  UsbtmcResult RequestIn(const UsbtmcReadOptions& options);
  // Chunks until EOM, or until a chunk ends with the TermChar when one is asked for.
  UsbtmcResult Read(std::string* response, const UsbtmcReadOptions& options = {});
  UsbtmcResult Query(const std::string& message, std::string* response, const UsbtmcReadOptions& options = {});
  UsbtmcResult Trigger();

  // INITIATE_ABORT_BULK_OUT for the last bulk-OUT bTag, CHECK_ABORT_BULK_OUT_STATUS while pending,
  // CLEAR_FEATURE(ENDPOINT_HALT) on bulk-OUT. `received`: NBYTES_RXD.
  UsbtmcResult AbortBulkOut(std::uint32_t* received = nullptr);
  // INITIATE_ABORT_BULK_IN for the last REQUEST_DEV_DEP_MSG_IN bTag, reads the bulk-IN FIFO out,
  // CHECK_ABORT_BULK_IN_STATUS while pending (reading again while the device reports data queued).
  // `sent`: NBYTES_TXD. A device with nothing to abort (STATUS_FAILED) is not an error.
  UsbtmcResult AbortBulkIn(std::uint32_t* sent = nullptr);
  // INITIATE_CLEAR, CHECK_CLEAR_STATUS while pending (reading bulk-IN out when bmClear asks),
  // CLEAR_FEATURE(ENDPOINT_HALT) on bulk-OUT.
  UsbtmcResult Clear();
  UsbtmcResult ClearHalt(std::uint8_t endpoint_address);

  UsbtmcResult GetCapabilities(UsbtmcCapabilities* capabilities);
  // READ_STATUS_BYTE; with an interrupt-IN endpoint the status byte comes from its notification
  // (0x80|bTag), else from the control reply. A service request notification met meanwhile is kept.
  UsbtmcResult ReadStatusByte(std::uint8_t* status_byte);
  // Waits up to `limit` for a service request notification (0x81) on interrupt-IN.
  UsbtmcResult WaitServiceRequest(std::chrono::milliseconds limit, std::uint8_t* status_byte);
  UsbtmcResult RenControl(bool assert_ren);
  UsbtmcResult GoToLocal();
  UsbtmcResult LocalLockout();
  // Any class request to the interface: the reply's status byte is checked for success.
  UsbtmcResult InterfaceRequest(std::uint8_t request, std::uint16_t value, std::uint16_t length,
                                std::vector<std::uint8_t>* reply);

  // The bTag of the next READ_STATUS_BYTE (2 to 127).
  std::uint8_t next_status_tag() const { return status_tag_; }

 private:
  using Deadline = std::chrono::steady_clock::time_point;
  UsbtmcResult Ready(const char* step) const;
  std::uint32_t Frames(std::chrono::milliseconds limit) const;
  Deadline DeadlineIn(std::chrono::milliseconds limit) const { return std::chrono::steady_clock::now() + limit; }
  // The bus's transfers bounded by real time: a frame's wait may last longer than a frame, so they
  // are asked for in slices until the deadline, keeping what each slice moved. Bulk transfers end with
  // a time-out when the device moves nothing for `limit`; every packet it takes or gives starts the
  // limit again, so a long transfer is not cut short for its length.
  UsbTransfer BulkIn(unsigned endpoint, std::size_t max_bytes, std::chrono::milliseconds limit);
  UsbTransfer BulkOut(unsigned endpoint, const std::vector<std::uint8_t>& data, std::chrono::milliseconds limit);
  UsbTransfer InterruptIn(unsigned endpoint, Deadline deadline);
  std::uint8_t TakeTag();
  std::vector<std::uint8_t> Header(std::uint8_t msg_id, std::uint8_t tag, std::uint32_t transfer_size,
                                   std::uint8_t attributes, std::uint8_t term_char) const;
  UsbtmcResult SendBulkOut(const std::vector<std::uint8_t>& data, const char* step);
  UsbtmcResult ClassRequest(std::uint8_t recipient, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                            std::uint16_t length, const char* step, std::vector<std::uint8_t>* reply);
  // Reads bulk-IN until a short packet (the FIFO emptied), at most kMaxReadsToClear packets.
  UsbtmcResult DrainBulkIn(const char* step);
  // `timed_out` as it stands, after the request is aborted when that is asked for.
  UsbtmcResult EndTimedOutRead(UsbtmcResult timed_out);
  // One interrupt-IN notification of 2 bytes.
  UsbtmcResult ReadNotification(std::chrono::milliseconds limit, std::vector<std::uint8_t>* packet);

  UsbBus& bus_;
  bool open_ = false;
  UsbEnumeration enumeration_;
  UsbtmcEndpoints endpoints_;
  std::chrono::milliseconds timeout_ = kDefaultTimeout;
  std::uint32_t max_transfer_ = 0;
  bool abort_on_timeout_ = false;
  std::uint8_t next_tag_ = 1;
  std::uint8_t last_tag_ = 0;
  std::uint8_t last_in_tag_ = 0;
  std::uint8_t status_tag_ = 2;
  std::deque<std::uint8_t> srq_status_;  // status bytes of SRQ notifications not yet asked for
};

}  // namespace sim
