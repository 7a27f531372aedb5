#include "usb/usbtmc/CUsbTmcBulkManager.h"

#include <algorithm>
#include <cstring>

#include "engine/CPhysicalInterface.h"
#include "usb/usbtmc/CUsb488Class.h"
#include "usb/usbtmc/CUsb488ClassRequests.h"
#include "usb/device/CUsbInterfaceClassIoManager.h"
#include "usb/controller/UsbTypes.h"

namespace {

// The endpoint reports this when a cancel found nothing to cancel; not a failure of an abort.
constexpr std::uint32_t kNothingToCancel = 0x54325;

std::uint32_t ReadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

void CUsbTmcBulkOutState::Reset() {
  bTag = 0;
  alignment = 0;
  transfer_size = 0;
  remaining = 0;
  active = 0;
  eom = 0;
  alignment_chained = 0;
  current = nullptr;
  requested = 0;
}

void CUsbTmcBulkInState::Reset() {
  transfer_size = 0;
  term_char_enabled = 0;
  term_char = 0;
  header_only = 0;
  request_pending = 0;
  in_flight = 0;
  header.next = nullptr;
  data = nullptr;
}

CUsbTmcBulkManager::CUsbTmcBulkManager(CUsb488Class* owner, std::uint32_t max_chunk, std::uint32_t* status)
    : owner_(owner), max_chunk_(max_chunk) {
  if (*status != 0) return;
  if (header_.IsFailed() || out_.alignment_buffer.IsFailed() || in_.header.IsFailed()) *status = kStatusOutOfMemory;
}

void CUsbTmcBulkManager::Attach(CUsbInterfaceClassIoManager* io, std::uint32_t* status) {
  if (*status != 0) return;
  io->RegisterReadBuffer(kUsbKindBulkOut, &header_, status);
  io->RegisterReadBuffer(kUsbKindBulkOut, &out_.alignment_buffer, status);
  io->RegisterWriteBuffer(kUsbKindBulkIn, &in_.header, status);
  if (*status == 0) io_ = io;
}

void CUsbTmcBulkManager::StartListening(std::uint32_t* status) {
  if (*status != 0) return;
  listening_ = 1;
  ReArmHeaderRead(status);
  if (*status != 0) listening_ = 0;
}

void CUsbTmcBulkManager::StopListening(std::uint32_t* status) {
  if (*status != 0) return;
  if (listening_ == 0) return;
  if (header_read_armed_ != 0 && io_ != nullptr) {
    std::uint32_t dropped = 0;
    std::uint32_t s = 0;
    io_->CancelTransfer(kUsbKindBulkOut, &dropped, &s);
  }
  header_read_armed_ = 0;
  listening_ = 0;
}

void CUsbTmcBulkManager::Reset() {
  EndTransfer();
  response_requested_ = 0;
  abort_reply_in_flight_ = 0;
  in_.Reset();
}

void CUsbTmcBulkManager::EndTransfer() {
  if (out_.current != nullptr) out_.current->next = nullptr;
  transfer_active_ = 0;
  out_.Reset();
}

void CUsbTmcBulkManager::DropReceiveBuffer() {
  if (out_.current != nullptr) out_.current->next = nullptr;
  out_.alignment_chained = 0;
  out_.current = nullptr;
  out_.requested = 0;
}

void CUsbTmcBulkManager::ReArmHeaderRead(std::uint32_t* status) {
  if (*status != 0 || io_ == nullptr || header_read_armed_ != 0) return;
  header_.SetWindow(0, kUsbTmcHeaderSize);
  header_.next = nullptr;
  io_->StartRead(kUsbKindBulkOut, &header_, status);
  if (*status == 0) header_read_armed_ = 1;
}

void CUsbTmcBulkManager::RefuseBulkOut(std::uint32_t* status) {
  if (*status != 0 || io_ == nullptr) return;
  io_->Halt(kUsbKindBulkOut, status);
  if (*status != 0) return;
  io_->FlushFifo(kUsbKindBulkOut, status);
  ReleaseHold(kUsbKindBulkOut, status);
  ReArmHeaderRead(status);
}

void CUsbTmcBulkManager::ReleaseHold(std::int32_t kind, std::uint32_t* status) {
  // Released whatever failed before: a hold left behind would refuse the host's
  // CLEAR_FEATURE(ENDPOINT_HALT) for good.
  std::uint32_t release = 0;
  io_->ReleaseHalt(kind, &release);
  if (*status == 0) *status = release;
}

void CUsbTmcBulkManager::OnBulkOutComplete(std::uint32_t result, std::uint32_t count, std::uint32_t* status) {
  if (*status != 0) return;
  if (header_read_armed_ != 0) {
    OnBulkOutMessage(result, count, status);
  } else if (out_.current != nullptr) {
    OnPayloadReceived(result, count, status);
  }
}

void CUsbTmcBulkManager::OnBulkOutMessage(std::uint32_t result, std::uint32_t count, std::uint32_t* status) {
  header_read_armed_ = 0;
  if (result == kUsbResultAborted) return;
  if (result != kUsbResultCompleted) {
    RefuseBulkOut(status);
    return;
  }
  if (count == 0) {
    // A zero-length packet between messages (a host ending a transfer of whole packets) carries no
    // header: the stale bytes of the buffer are not looked at.
    ReArmHeaderRead(status);
    return;
  }
  if (count < kUsbTmcHeaderSize) {
    RefuseBulkOut(status);  // a transfer too short to hold a header
    return;
  }
  const std::uint8_t* h = header_.Data() + header_.WindowStart();
  const std::uint8_t msg_id = h[0];
  const std::uint8_t tag = h[1];
  const bool tag_ok = h[2] == static_cast<std::uint8_t>(~tag);
  const std::uint32_t size = ReadLe32(h + 4);
  const std::uint8_t attributes = h[8];
  CPhysicalInterface* pi = owner_->PhysicalInterface();

  if (msg_id == kUsbTmcDevDepMsgOut) {
    if (!tag_ok || size == 0) {
      RefuseBulkOut(status);
      return;
    }
    out_.Reset();
    out_.bTag = tag;
    out_.transfer_size = size;
    out_.remaining = size;
    out_.eom = attributes & 1;
    out_.active = 1;
    if (size % 4 != 0) {
      out_.alignment = static_cast<std::uint8_t>(4 - size % 4);
      out_.alignment_buffer.SetWindow(0, out_.alignment);
    }
    transfer_active_ = 1;
    owner_->RemoteLocal()->Addressed();
    owner_->Requests()->EndSplitTransactions();
    if (pi != nullptr) pi->ArmReceive();
    return;
  }
  if (msg_id == kUsbTmcRequestDevDepMsgIn) {
    if (!tag_ok || (attributes & 1) != 0 || size == 0) {
      RefuseBulkOut(status);
      return;
    }
    in_.Reset();
    in_.bTag = tag;
    in_.transfer_size = size;
    in_.term_char_enabled = (attributes >> 1) & 1;
    in_.term_char = h[9];
    in_.bytes_sent = 0;
    in_.request_pending = 1;
    response_requested_ = 1;
    abort_reply_in_flight_ = 0;
    owner_->Requests()->EndSplitTransactions();
    if (pi != nullptr) pi->ArmSend();
    return;
  }
  if (msg_id == kUsbTmcTrigger) {
    if (!tag_ok) {
      RefuseBulkOut(status);
      return;
    }
    owner_->RemoteLocal()->Addressed();
    if (owner_->IsTriggerEnabled() && pi != nullptr) pi->Trigger();
    ReArmHeaderRead(status);
    return;
  }
  RefuseBulkOut(status);
}

void CUsbTmcBulkManager::Account(std::uint32_t* count, bool* end) {
  if (*count < out_.remaining) {
    out_.remaining -= *count;
    *end = false;
  } else {
    *count = out_.remaining;  // alignment bytes are not payload
    out_.remaining = 0;
    *end = out_.eom != 0;
  }
}

void CUsbTmcBulkManager::ReportReceived(std::uint32_t count, bool end) {
  CPhysicalInterface* pi = owner_->PhysicalInterface();
  if (pi == nullptr) return;
  if (count != 0 && owner_->TakeInputBufferReady()) pi->BeginReceive();
  pi->DataReceived(count, end);
}

void CUsbTmcBulkManager::OnPayloadReceived(std::uint32_t result, std::uint32_t count, std::uint32_t* status) {
  // A read that took less than it asked for ended at the host's short packet: the host's transfer is
  // over, whatever its TransferSize announced.
  const bool short_end = result == kUsbResultCompleted && count < out_.requested;
  bool end = false;
  Account(&count, &end);
  if (short_end && out_.remaining != 0) end = out_.eom != 0;
  DropReceiveBuffer();
  if (out_.remaining == 0 || result != kUsbResultCompleted || short_end) {
    EndTransfer();
    if (result == kUsbResultAborted) {
      // whoever cancelled re-arms
    } else if (result != kUsbResultCompleted) {
      RefuseBulkOut(status);
    } else if (listening_ != 0) {
      ReArmHeaderRead(status);
    }
  }
  ReportReceived(count, end);
}

void CUsbTmcBulkManager::Receive(CDataBuffer* buffer, std::uint32_t* status) {
  if (*status != 0) return;
  if (io_ == nullptr || buffer == nullptr || transfer_active_ == 0 || out_.current != nullptr) {
    *status = kStatusNotReported;
    return;
  }
  out_.current = buffer;
  buffer->next = nullptr;
  const std::uint32_t length = buffer->WindowEnd() - buffer->WindowStart();
  out_.requested = length;
  if (length == out_.remaining && out_.alignment != 0) {
    out_.alignment_buffer.SetWindow(0, out_.alignment);
    out_.alignment_buffer.next = nullptr;
    buffer->next = &out_.alignment_buffer;
    out_.alignment_chained = 1;
    out_.requested += out_.alignment;
  }
  io_->StartRead(kUsbKindBulkOut, buffer, status);
  if (*status != 0) DropReceiveBuffer();
}

void CUsbTmcBulkManager::CancelReceive(std::uint32_t* count, bool* end, std::uint32_t* status) {
  *count = 0;
  *end = false;
  if (*status != 0) return;
  if (out_.current == nullptr || io_ == nullptr) return;
  std::uint32_t moved = 0;
  io_->CancelTransfer(kUsbKindBulkOut, &moved, status);
  Account(&moved, end);
  *count = moved;
  if (out_.remaining > 0) {
    DropReceiveBuffer();  // the transfer stays; a later receive continues it
    return;
  }
  EndTransfer();
  if (listening_ != 0) ReArmHeaderRead(status);
}

void CUsbTmcBulkManager::WriteBulkInHeader(CDataBuffer* data, bool term_char_found, bool end) {
  std::uint8_t* h = in_.header.Data();
  const std::uint32_t length = data == nullptr ? 0 : data->WindowEnd() - data->WindowStart();
  std::memset(h, 0, kUsbTmcHeaderSize);
  h[0] = kUsbTmcDevDepMsgIn;
  h[1] = in_.bTag;
  h[2] = static_cast<std::uint8_t>(~in_.bTag);
  h[4] = static_cast<std::uint8_t>(length);
  h[5] = static_cast<std::uint8_t>(length >> 8);
  h[6] = static_cast<std::uint8_t>(length >> 16);
  h[7] = static_cast<std::uint8_t>(length >> 24);
  h[8] = static_cast<std::uint8_t>((end ? 1 : 0) | (term_char_found ? 2 : 0));
  in_.header.SetWindow(0, kUsbTmcHeaderSize);
  in_.header.next = data;
  if (data != nullptr) data->next = nullptr;
  in_.data = data;
  in_.header_only = data == nullptr ? 1 : 0;
}

void CUsbTmcBulkManager::Send(CDataBuffer* buffer, bool term_char_found, bool end, std::uint32_t* status) {
  if (*status != 0) return;
  if (io_ == nullptr || response_requested_ == 0 || in_.in_flight != 0) {
    *status = kStatusNotReported;
    return;
  }
  WriteBulkInHeader(buffer, term_char_found, end);
  io_->StartWrite(kUsbKindBulkIn, &in_.header, status);
  if (*status == 0) {
    in_.in_flight = 1;
  } else {
    in_.header.next = nullptr;
    in_.data = nullptr;
  }
}

void CUsbTmcBulkManager::OnBulkInComplete(std::uint32_t result, std::uint32_t count, std::uint32_t* status) {
  if (*status != 0) return;
  if (in_.in_flight == 0) return;  // a transfer that a cancel has already settled
  const bool header_only = in_.header_only != 0;
  in_.bytes_sent = count < kUsbTmcHeaderSize ? 0 : count - kUsbTmcHeaderSize;
  response_requested_ = 0;
  abort_reply_in_flight_ = 0;
  in_.Reset();
  if (result == kUsbResultCompleted && listening_ != 0) ReArmHeaderRead(status);
  CPhysicalInterface* pi = owner_->PhysicalInterface();
  if (!header_only && pi != nullptr) pi->DataSent(in_.bytes_sent);
}

void CUsbTmcBulkManager::CancelSend(std::uint32_t* count, std::uint32_t* status) {
  *count = 0;
  if (*status != 0 || io_ == nullptr) return;
  std::uint32_t moved = 0;
  if (in_.in_flight != 0) {
    io_->Halt(kUsbKindBulkIn, status);
    io_->CancelTransfer(kUsbKindBulkIn, &moved, status);
    if (*status == kNothingToCancel) *status = 0;
    ReleaseHold(kUsbKindBulkIn, status);
  }
  in_.bytes_sent = moved < kUsbTmcHeaderSize ? 0 : moved - kUsbTmcHeaderSize;
  *count = in_.bytes_sent;
  response_requested_ = 0;
  abort_reply_in_flight_ = 0;
  in_.Reset();
  if (listening_ != 0) ReArmHeaderRead(status);
}

void CUsbTmcBulkManager::AbortBulkOut(std::uint32_t* count, std::uint32_t* status) {
  *count = 0;
  if (*status != 0 || io_ == nullptr) return;
  const bool had_buffer = out_.current != nullptr;
  bool end = false;
  if (had_buffer) {
    std::uint32_t moved = 0;
    io_->CancelTransfer(kUsbKindBulkOut, &moved, status);
    Account(&moved, &end);
    *count = moved;
  }
  EndTransfer();
  if (listening_ != 0) {
    if (header_read_armed_ != 0) {
      std::uint32_t dropped = 0;
      std::uint32_t s = 0;
      io_->CancelTransfer(kUsbKindBulkOut, &dropped, &s);
      header_read_armed_ = 0;
    }
    listening_ = 0;
  }
  io_->FlushFifo(kUsbKindBulkOut, status);
  listening_ = 1;
  ReArmHeaderRead(status);
  if (header_read_armed_ == 0) listening_ = 0;
  if (had_buffer) ReportReceived(*count, end);
}

void CUsbTmcBulkManager::AbortBulkIn(std::uint32_t* status) {
  if (*status != 0 || io_ == nullptr) return;
  if (in_.in_flight != 0) {
    // The response in flight is really cancelled: the FIFO is flushed under the service lock and a
    // zero-length packet ends the host's read. No halt here: the host reads bulk-IN until that short
    // packet as part of its abort, and a STALL it might catch would break that sequence. The request
    // is then over and the engine learns how much went out.
    const bool header_only = in_.header_only != 0;
    std::uint32_t moved = 0;
    io_->CancelTransfer(kUsbKindBulkIn, &moved, status);
    if (*status == kNothingToCancel) *status = 0;
    in_.bytes_sent = moved < kUsbTmcHeaderSize ? 0 : moved - kUsbTmcHeaderSize;
    response_requested_ = 0;
    abort_reply_in_flight_ = 0;
    in_.Reset();
    if (listening_ != 0) ReArmHeaderRead(status);
    CPhysicalInterface* pi = owner_->PhysicalInterface();
    if (!header_only && pi != nullptr) pi->DataSent(in_.bytes_sent);
    return;
  }
  // Accepted but nothing sent yet: a header-only DEV_DEP_MSG_IN ends the host's pending read.
  SendEmptyReply(status);
}

void CUsbTmcBulkManager::SendEmptyReply(std::uint32_t* status) {
  if (*status != 0 || io_ == nullptr || in_.request_pending == 0 || in_.in_flight != 0) return;
  response_requested_ = 0;
  abort_reply_in_flight_ = 1;
  WriteBulkInHeader(nullptr, false, false);
  io_->StartWrite(kUsbKindBulkIn, &in_.header, status);
  if (*status == 0) {
    in_.in_flight = 1;
  } else {
    abort_reply_in_flight_ = 0;
    in_.Reset();
  }
}
