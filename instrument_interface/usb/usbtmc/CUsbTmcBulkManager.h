// The bulk side of the USBTMC interface: reads the 12-byte bulk-OUT headers, hands DEV_DEP_MSG_OUT
// payload to the engine's input buffer, starts the engine's response on REQUEST_DEV_DEP_MSG_IN and
// puts the DEV_DEP_MSG_IN header in front of every response transfer, passes TRIGGER on, and carries
// out the cancellations and aborts that the engine and the class requests ask for.
//
// Completions and class requests arrive on the "USB Interrupt Handler" thread; the engine reaches
// Receive, Send and the cancels from an operation that has suspended USB events, or nested inside an
// engine entry point called from here. No lock of its own; no allocation after construction.
//
// Bulk-OUT is in exactly one of: header read armed; payload reads of an active transfer; nothing
// queued (a request being answered, or a cancelled header read). A payload read ends at the host's
// short packet, and a short end of a transfer ends the transfer, so the next header is read from the
// next host transfer whatever TransferSize said.
#pragma once

#include <cstdint>

#include "engine/CDataBuffer.h"

class CUsb488Class;
class CUsbInterfaceClassIoManager;

constexpr std::uint32_t kUsbTmcHeaderSize = 12;

// MsgID values of the bulk headers.
enum : std::uint8_t {
  kUsbTmcDevDepMsgOut = 1,
  kUsbTmcRequestDevDepMsgIn = 2,
  kUsbTmcDevDepMsgIn = 2,
  kUsbTmcTrigger = 128,
};

struct CUsbTmcBulkOutState {
  std::uint8_t bTag = 0;
  std::uint8_t alignment = 0;
  std::uint32_t transfer_size = 0;
  std::uint32_t remaining = 0;
  std::uint8_t active = 0;
  std::uint8_t eom = 0;
  std::uint8_t alignment_chained = 0;
  CDataBuffer alignment_buffer{3};
  CDataBuffer* current = nullptr;
  std::uint32_t requested = 0;  // bytes the current read may take (window and alignment)
  void Reset();
};

struct CUsbTmcBulkInState {
  std::uint8_t bTag = 0;
  std::uint32_t transfer_size = 0;
  std::uint32_t bytes_sent = 0;
  std::uint8_t term_char_enabled = 0;
  std::uint8_t term_char = 0;
  CDataBuffer header{static_cast<std::int32_t>(kUsbTmcHeaderSize)};
  std::uint8_t header_only = 0;
  std::uint8_t request_pending = 0;
  std::uint8_t in_flight = 0;  // a bulk-IN transfer has been started and not completed or cancelled
  CDataBuffer* data = nullptr;
  void Reset();
};

class CUsbTmcBulkManager {
 public:
  CUsbTmcBulkManager(CUsb488Class* owner, std::uint32_t max_chunk, std::uint32_t* status);
  CUsbTmcBulkManager(const CUsbTmcBulkManager&) = delete;
  CUsbTmcBulkManager& operator=(const CUsbTmcBulkManager&) = delete;

  void Attach(CUsbInterfaceClassIoManager* io, std::uint32_t* status);
  void Detach() { io_ = nullptr; }
  void StartListening(std::uint32_t* status);
  void StopListening(std::uint32_t* status);
  void Reset();

  void OnBulkOutComplete(std::uint32_t result, std::uint32_t count, std::uint32_t* status);
  void OnBulkInComplete(std::uint32_t result, std::uint32_t count, std::uint32_t* status);

  void Receive(CDataBuffer* buffer, std::uint32_t* status);
  void CancelReceive(std::uint32_t* count, bool* end, std::uint32_t* status);
  void Send(CDataBuffer* buffer, bool term_char_found, bool end, std::uint32_t* status);
  void CancelSend(std::uint32_t* count, std::uint32_t* status);
  void AbortBulkOut(std::uint32_t* count, std::uint32_t* status);
  void AbortBulkIn(std::uint32_t* status);
  // Ends an open request for which nothing has been sent with a header-only DEV_DEP_MSG_IN, so that
  // the host's read ends with a short transfer (INITIATE_ABORT_BULK_IN, INITIATE_CLEAR). The request
  // counts as not open while that reply waits.
  void SendEmptyReply(std::uint32_t* status);

  bool IsTransferActive() const { return transfer_active_ != 0; }
  std::uint8_t BulkOutTag() const { return out_.bTag; }
  std::uint32_t BulkOutTransferSize() const { return out_.transfer_size; }
  std::uint32_t BulkOutRemaining() const { return out_.remaining; }
  bool IsRequestOpen() const { return in_.request_pending != 0 && abort_reply_in_flight_ == 0; }
  bool IsResponseRequested() const { return response_requested_ != 0; }
  // A bulk-IN transfer (a response chunk or a header-only reply) waits for the host to read it.
  bool IsBulkInWaiting() const { return in_.in_flight != 0; }
  std::uint8_t BulkInTag() const { return in_.bTag; }
  std::uint32_t BulkInTransferSize() const { return in_.transfer_size; }
  std::uint32_t BytesSent() const { return in_.bytes_sent; }
  bool IsTermCharEnabled() const { return IsRequestOpen() && in_.term_char_enabled != 0; }
  std::uint8_t TermChar() const { return IsRequestOpen() ? in_.term_char : 0; }
  bool IsListening() const { return listening_ != 0; }
  bool IsHeaderReadArmed() const { return header_read_armed_ != 0; }
  std::uint32_t MaxChunk() const { return max_chunk_; }

 private:
  void OnBulkOutMessage(std::uint32_t result, std::uint32_t count, std::uint32_t* status);
  void OnPayloadReceived(std::uint32_t result, std::uint32_t count, std::uint32_t* status);
  // Bytes of a finished read against the transfer: the payload part of `count`, and whether it ends
  // the message.
  void Account(std::uint32_t* count, bool* end);
  void DropReceiveBuffer();
  void EndTransfer();
  void ReArmHeaderRead(std::uint32_t* status);
  void RefuseBulkOut(std::uint32_t* status);
  void ReleaseHold(std::int32_t kind, std::uint32_t* status);
  void WriteBulkInHeader(CDataBuffer* data, bool term_char_found, bool end);
  void ReportReceived(std::uint32_t count, bool end);

  CUsb488Class* owner_;
  CUsbInterfaceClassIoManager* io_ = nullptr;
  std::uint32_t max_chunk_;
  std::uint8_t transfer_active_ = 0;
  CUsbTmcBulkOutState out_;
  std::uint8_t response_requested_ = 0;
  std::uint8_t abort_reply_in_flight_ = 0;
  CUsbTmcBulkInState in_;
  std::uint8_t header_read_armed_ = 0;
  CDataBuffer header_{static_cast<std::int32_t>(kUsbTmcHeaderSize)};
  std::uint8_t listening_ = 0;
};
