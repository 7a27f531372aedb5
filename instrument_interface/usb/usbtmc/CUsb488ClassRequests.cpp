#include "usb/usbtmc/CUsb488ClassRequests.h"

#include <cstring>

#include "engine/CPhysicalInterface.h"
#include "usb/usbtmc/CUsb488Class.h"
#include "usb/device/CUsbInterfaceClassIoManager.h"
#include "usb/usbtmc/CUsbTmcBulkManager.h"

namespace {

constexpr std::uint8_t kRecipientInterface = 1;
constexpr std::uint8_t kRecipientEndpoint = 2;
constexpr std::uint16_t kIndicatorPulseMs = 500;

enum class ExtraCheck { kNone, kTagNotZero, kStatusTag };

// One row per request: its value, name, recipient, wLength, extra check and handler.
struct RequestRow {
  std::uint8_t request;
  const char* name;
  std::uint8_t recipient;
  std::uint16_t length;
  ExtraCheck check;
  void (CUsb488ClassRequests::*handler)(const UsbSetupPacket&, std::uint32_t*);
};

#define USB488_REQUEST_ROWS(X) \
  X(kUsbTmcInitiateAbortBulkOut, "INITIATE_ABORT_BULK_OUT", kRecipientEndpoint, 2, kNone, InitiateAbortBulkOut) \
  X(kUsbTmcCheckAbortBulkOutStatus, "CHECK_ABORT_BULK_OUT_STATUS", kRecipientEndpoint, 8, kNone, \
    CheckAbortBulkOutStatus) \
  X(kUsbTmcInitiateAbortBulkIn, "INITIATE_ABORT_BULK_IN", kRecipientEndpoint, 2, kTagNotZero, InitiateAbortBulkIn) \
  X(kUsbTmcCheckAbortBulkInStatus, "CHECK_ABORT_BULK_IN_STATUS", kRecipientEndpoint, 8, kNone, CheckAbortBulkInStatus) \
  X(kUsbTmcInitiateClear, "INITIATE_CLEAR", kRecipientInterface, 1, kNone, InitiateClear) \
  X(kUsbTmcCheckClearStatus, "CHECK_CLEAR_STATUS", kRecipientInterface, 2, kNone, CheckClearStatus) \
  X(kUsbTmcGetCapabilities, "GET_CAPABILITIES", kRecipientInterface, 24, kNone, GetCapabilities) \
  X(kUsbTmcIndicatorPulse, "INDICATOR_PULSE", kRecipientInterface, 1, kNone, IndicatorPulse) \
  X(kUsb488ReadStatusByte, "READ_STATUS_BYTE", kRecipientInterface, 3, kStatusTag, ReadStatusByte) \
  X(kUsb488RenControl, "REN_CONTROL", kRecipientInterface, 1, kNone, RenControl) \
  X(kUsb488GoToLocal, "GO_TO_LOCAL", kRecipientInterface, 1, kNone, GoToLocal) \
  X(kUsb488LocalLockout, "LOCAL_LOCKOUT", kRecipientInterface, 1, kNone, LocalLockout)

#define USB488_ROW(value, name, recipient, length, check, handler) \
  RequestRow{value, name, recipient, length, ExtraCheck::check, &CUsb488ClassRequests::handler},
const RequestRow kRequestRows[] = {USB488_REQUEST_ROWS(USB488_ROW)};
#undef USB488_ROW

#define USB488_COUNT(...) +1
constexpr std::size_t kRequestRowCount = 0 USB488_REQUEST_ROWS(USB488_COUNT);
#undef USB488_COUNT
static_assert(kRequestRowCount == 12, "twelve class requests have handlers");

const RequestRow* FindRow(std::uint8_t request) {
  for (const RequestRow& row : kRequestRows) {
    if (row.request == request) return &row;
  }
  return nullptr;
}

bool PassesChecks(const RequestRow& row, const UsbSetupPacket& setup) {
  if ((setup.bmRequestType & 0x80) == 0) return false;
  if ((setup.bmRequestType & 0x1F) != row.recipient) return false;
  if (setup.wLength != row.length) return false;
  switch (row.check) {
    case ExtraCheck::kNone: return true;
    case ExtraCheck::kTagNotZero: return (setup.wValue & 0xFF) != 0;
    case ExtraCheck::kStatusTag:
      // bTag 2 to 127 in the low seven bits, bit 7 clear, and no other bit (wValue is 8 bits wide).
      return setup.wValue >= 2 && setup.wValue <= 127;
  }
  return false;
}

// Every request goes through its row: the checks, then the handler. Rows are found by a table
// lookup so that a handler is a plain function (no table of member pointers).
void RunRow(CUsb488ClassRequests& self, const UsbSetupPacket& setup, std::uint32_t* status) {
  const RequestRow* row = FindRow(setup.bRequest);
  if (row == nullptr || !PassesChecks(*row, setup)) {
    self.Stall(status);
    return;
  }
  (self.*(row->handler))(setup, status);
}

void StallRow(CUsb488ClassRequests& self, const UsbSetupPacket&, std::uint32_t* status) { self.Stall(status); }

void PutLe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

}  // namespace

CUsb488ClassRequests::CUsb488ClassRequests(CUsb488Class* owner, std::uint32_t* status) : owner_(owner) {
  for (Handler& h : handlers_) h = &StallRow;
  for (const RequestRow& row : kRequestRows) handlers_[row.request] = &RunRow;
  if (*status != 0) return;
  if (reply_.IsFailed() || notification_.IsFailed()) *status = kStatusOutOfMemory;
}

void CUsb488ClassRequests::Dispatch(const UsbSetupPacket& setup, std::uint32_t* status) {
  if (*status != 0) return;
  if (setup.bRequest >= kHandlerCount) {
    Stall(status);  // bRequest 255 has no entry
    return;
  }
  handlers_[setup.bRequest](*this, setup, status);
}

void CUsb488ClassRequests::Stall(std::uint32_t* status) {
  if (*status != 0 || io_ == nullptr) return;
  io_->Halt(kUsbKindControl, status);
}

void CUsb488ClassRequests::Attach(CUsbInterfaceClassIoManager* io, std::uint32_t* status) {
  if (*status != 0) return;
  io->RegisterWriteBuffer(kUsbKindControl, &reply_, status);
  io->RegisterWriteBuffer(kUsbKindInterruptIn, &notification_, status);
  if (*status == 0) io_ = io;
}

void CUsb488ClassRequests::Enable(std::uint32_t* status) {
  if (*status != 0) return;
  enabled_ = 1;
  if (srq_pending_ != 0 && status_read_active_ == 0) {
    srq_pending_ = 0;
    BeginStatusRead(true);
  }
}

void CUsb488ClassRequests::Disable(std::uint32_t* status) {
  if (*status != 0) return;
  if (enabled_ == 0) return;
  enabled_ = 0;
  clear_in_progress_ = 0;
  abort_in_in_progress_ = 0;
  abort_out_in_progress_ = 0;
  status_read_active_ = 0;
  status_read_for_srq_ = 0;
  nbytes_rxd_ = 0;
  // A clear the engine will not finish for this configuration, or an abort that failed half-way,
  // no longer holds bulk-OUT: the next configuration must be able to clear its halt.
  clear_count_ = 0;
  std::uint32_t s = 0;
  ReleaseClearHold(&s);
}

void CUsb488ClassRequests::OnControlWriteComplete(std::uint32_t result, std::uint32_t* status) {
  if (*status != 0 || io_ == nullptr) return;
  if (result == kUsbResultCompleted) io_->AcknowledgeStatus(status);
}

void CUsb488ClassRequests::EndSplitTransactions() {
  clear_in_progress_ = 0;
  abort_in_in_progress_ = 0;
  abort_out_in_progress_ = 0;
}

bool CUsb488ClassRequests::SplitBlocks() {
  CUsbTmcBulkManager* bulk = owner_->Bulk();
  if (clear_in_progress_ != 0) {
    if (clear_count_ != 0) return true;
    clear_in_progress_ = 0;
    return false;
  }
  if (abort_out_in_progress_ != 0) {
    abort_out_in_progress_ = 0;
    nbytes_rxd_ = 0;
    return false;
  }
  if (abort_in_in_progress_ != 0) {
    if (bulk->IsRequestOpen()) return true;
    abort_in_in_progress_ = 0;
    return false;
  }
  return false;
}

void CUsb488ClassRequests::Reply(const std::uint8_t* bytes, std::uint32_t length, std::uint32_t* status) {
  if (*status != 0 || io_ == nullptr) return;
  std::memcpy(reply_.Data(), bytes, length);
  reply_.SetWindow(0, length);
  reply_.next = nullptr;
  io_->StartWrite(kUsbKindControl, &reply_, status);
}

void CUsb488ClassRequests::InitiateAbortBulkOut(const UsbSetupPacket& setup, std::uint32_t* status) {
  CUsbTmcBulkManager* bulk = owner_->Bulk();
  const std::uint8_t tag = bulk->BulkOutTag();
  const std::uint8_t requested = static_cast<std::uint8_t>(setup.wValue & 0xFF);
  std::uint8_t reply[2] = {kUsbTmcStatusSplitInProgress, tag};
  if (SplitBlocks()) {
    Reply(reply, 2, status);
    return;
  }
  if (!bulk->IsTransferActive()) {
    reply[0] = kUsbTmcStatusFailed;
    Reply(reply, 2, status);
    return;
  }
  if (requested != tag) {
    reply[0] = kUsbTmcStatusTransferNotInProgress;
    Reply(reply, 2, status);
    return;
  }
  abort_out_in_progress_ = 1;
  io_->Halt(kUsbKindBulkOut, status);
  if (*status != 0) return;
  reply[0] = kUsbTmcStatusSuccess;
  Reply(reply, 2, status);
  const std::uint32_t size = bulk->BulkOutTransferSize();
  const std::uint32_t remaining = bulk->BulkOutRemaining();
  bulk->AbortBulkOut(&nbytes_rxd_, status);
  // The hold goes whatever failed before: a hold left behind would refuse the host's
  // CLEAR_FEATURE(ENDPOINT_HALT) for good.
  std::uint32_t release = 0;
  io_->ReleaseHalt(kUsbKindBulkOut, &release);
  if (*status == 0) *status = release;
  nbytes_rxd_ += size - remaining;
}

void CUsb488ClassRequests::CheckAbortBulkOutStatus(const UsbSetupPacket&, std::uint32_t* status) {
  std::uint8_t reply[8] = {};
  if (abort_out_in_progress_ != 0) {
    abort_out_in_progress_ = 0;
    reply[0] = kUsbTmcStatusSuccess;
    PutLe32(reply + 4, nbytes_rxd_);
    nbytes_rxd_ = 0;
  } else {
    reply[0] = SplitBlocks() ? kUsbTmcStatusSplitInProgress : kUsbTmcStatusSplitNotInProgress;
  }
  Reply(reply, 8, status);
}

void CUsb488ClassRequests::InitiateAbortBulkIn(const UsbSetupPacket& setup, std::uint32_t* status) {
  CUsbTmcBulkManager* bulk = owner_->Bulk();
  const std::uint8_t tag = bulk->BulkInTag();
  const std::uint8_t requested = static_cast<std::uint8_t>(setup.wValue & 0xFF);
  std::uint8_t reply[2] = {kUsbTmcStatusSplitInProgress, tag};
  if (SplitBlocks()) {
    Reply(reply, 2, status);
    return;
  }
  if (bulk->IsRequestOpen() && requested == tag) {
    abort_in_in_progress_ = 1;
    reply[0] = kUsbTmcStatusSuccess;
    Reply(reply, 2, status);
    bulk->AbortBulkIn(status);
    return;
  }
  if (bulk->IsRequestOpen()) {
    reply[0] = kUsbTmcStatusTransferNotInProgress;
  } else if (!bulk->IsTransferActive() && io_->IsFifoEmpty(kUsbKindBulkOut)) {
    reply[0] = kUsbTmcStatusFailed;
  } else {
    reply[0] = kUsbTmcStatusTransferNotInProgress;
  }
  Reply(reply, 2, status);
}

void CUsb488ClassRequests::CheckAbortBulkInStatus(const UsbSetupPacket&, std::uint32_t* status) {
  CUsbTmcBulkManager* bulk = owner_->Bulk();
  std::uint8_t reply[8] = {};
  if (abort_in_in_progress_ != 0) {
    if (!bulk->IsRequestOpen()) {
      abort_in_in_progress_ = 0;
      reply[0] = kUsbTmcStatusSuccess;
      PutLe32(reply + 4, bulk->BytesSent());
    } else {
      reply[0] = kUsbTmcStatusPending;
      reply[1] = 1;
    }
  } else {
    reply[0] = SplitBlocks() ? kUsbTmcStatusSplitInProgress : kUsbTmcStatusSplitNotInProgress;
    reply[1] = bulk->IsRequestOpen() ? 1 : 0;
  }
  Reply(reply, 8, status);
}

void CUsb488ClassRequests::InitiateClear(const UsbSetupPacket&, std::uint32_t* status) {
  CUsbTmcBulkManager* bulk = owner_->Bulk();
  std::uint8_t reply[1] = {kUsbTmcStatusSplitInProgress};
  if (SplitBlocks()) {
    Reply(reply, 1, status);
    return;
  }
  io_->Halt(kUsbKindBulkOut, status);
  if (*status != 0) return;
  clear_in_progress_ = 1;
  ++clear_count_;
  reply[0] = kUsbTmcStatusSuccess;
  Reply(reply, 1, status);
  if (!bulk->IsTransferActive()) {
    if (!bulk->IsRequestOpen()) {
      bulk->StopListening(status);
      if (!io_->IsFifoEmpty(kUsbKindBulkOut)) io_->FlushFifo(kUsbKindBulkOut, status);
      bulk->StartListening(status);
    }
  } else {
    std::uint32_t dropped = 0;
    bulk->AbortBulkOut(&dropped, status);
  }
  owner_->AddressedThenDeviceClear();
  // The engine's clear has cancelled any response it was sending. A request that it has nothing for
  // would otherwise stay open for ever, keep bulk-OUT from the next header and leave the host no
  // short transfer to end its read with: it is ended with a header-only DEV_DEP_MSG_IN, which the
  // host reads out while CHECK_CLEAR_STATUS reports it in bmClear.
  if (bulk->IsRequestOpen() && !bulk->IsBulkInWaiting()) bulk->SendEmptyReply(status);
}

void CUsb488ClassRequests::ReleaseClearHold(std::uint32_t* status) {
  if (io_ != nullptr) io_->ReleaseHalt(kUsbKindBulkOut, status);
}

void CUsb488ClassRequests::DeviceClearDone(std::uint32_t* status) {
  if (*status != 0) return;
  // Never below 0: a report for a clear that a disable has already forgotten changes nothing.
  if (clear_count_ > 0) --clear_count_;
  if (clear_count_ == 0) ReleaseClearHold(status);
}

void CUsb488ClassRequests::CheckClearStatus(const UsbSetupPacket&, std::uint32_t* status) {
  CUsbTmcBulkManager* bulk = owner_->Bulk();
  // bmClear bit 0: bytes wait on bulk-IN that the host has to read out before the clear can end. Once
  // the host has taken the last packet, the transfer's completion may still be on its way to the
  // service pass: the host is then told to ask again, not to read a packet that will not come.
  const bool bytes_for_host = io_ == nullptr || !io_->IsFifoEmpty(kUsbKindBulkIn);
  const std::uint8_t waiting = bulk->IsBulkInWaiting() && bytes_for_host ? 1 : 0;
  std::uint8_t reply[2] = {};
  if (clear_in_progress_ != 0) {
    if (clear_count_ == 0 && waiting == 0 && !bulk->IsRequestOpen()) {
      clear_in_progress_ = 0;
      reply[0] = kUsbTmcStatusSuccess;
    } else {
      reply[0] = kUsbTmcStatusPending;
      reply[1] = waiting;
    }
  } else {
    reply[0] = SplitBlocks() ? kUsbTmcStatusSplitInProgress : kUsbTmcStatusSplitNotInProgress;
    reply[1] = waiting;
  }
  Reply(reply, 2, status);
}

void CUsb488ClassRequests::GetCapabilities(const UsbSetupPacket&, std::uint32_t* status) {
  std::uint8_t reply[kUsb488CapabilitySize];
  const bool blocked = SplitBlocks();
  owner_->CopyCapabilities(reply);
  reply[0] = blocked ? kUsbTmcStatusSplitInProgress : kUsbTmcStatusSuccess;
  Reply(reply, kUsb488CapabilitySize, status);
}

void CUsb488ClassRequests::IndicatorPulse(const UsbSetupPacket&, std::uint32_t* status) {
  // Offered only where the controller has an indicator (and then announced in the capabilities).
  if (io_ == nullptr || !io_->IsIndicatorSupported()) {
    Stall(status);
    return;
  }
  std::uint8_t reply[1] = {kUsbTmcStatusSplitInProgress};
  if (SplitBlocks()) {
    Reply(reply, 1, status);
    return;
  }
  reply[0] = kUsbTmcStatusSuccess;
  Reply(reply, 1, status);
  io_->PulseIndicator(kIndicatorPulseMs, status);
}

void CUsb488ClassRequests::ReadStatusByte(const UsbSetupPacket& setup, std::uint32_t* status) {
  const std::uint8_t tag = static_cast<std::uint8_t>(setup.wValue & 0x7F);
  std::uint8_t reply[3] = {kUsbTmcStatusSplitInProgress, tag, 0};
  if (SplitBlocks()) {
    Reply(reply, 3, status);
    return;
  }
  if (status_read_active_ != 0) {
    reply[0] = kUsbTmcStatusInterruptInBusy;
    Reply(reply, 3, status);
    return;
  }
  status_tag_ = tag;
  reply[0] = kUsbTmcStatusSuccess;
  // The reply goes first: the engine may answer the status byte from inside StatusReadBegin.
  Reply(reply, 3, status);
  if (*status == 0) BeginStatusRead(false);
}

void CUsb488ClassRequests::RenControl(const UsbSetupPacket& setup, std::uint32_t* status) {
  std::uint8_t reply[1] = {kUsbTmcStatusSplitInProgress};
  if (!SplitBlocks()) {
    if (setup.wValue != 0) {
      owner_->RemoteLocal()->RenAsserted();
    } else {
      owner_->RemoteLocal()->RenDeasserted();
    }
    reply[0] = kUsbTmcStatusSuccess;
  }
  Reply(reply, 1, status);
}

void CUsb488ClassRequests::GoToLocal(const UsbSetupPacket&, std::uint32_t* status) {
  std::uint8_t reply[1] = {kUsbTmcStatusSplitInProgress};
  if (!SplitBlocks()) {
    owner_->RemoteLocal()->GoToLocal();
    reply[0] = kUsbTmcStatusSuccess;
  }
  Reply(reply, 1, status);
}

void CUsb488ClassRequests::LocalLockout(const UsbSetupPacket&, std::uint32_t* status) {
  std::uint8_t reply[1] = {kUsbTmcStatusSplitInProgress};
  if (!SplitBlocks()) {
    owner_->RemoteLocal()->LocalLockout();
    reply[0] = kUsbTmcStatusSuccess;
  }
  Reply(reply, 1, status);
}

void CUsb488ClassRequests::BeginStatusRead(bool service_request) {
  status_read_active_ = 1;
  status_read_for_srq_ = service_request ? 1 : 0;
  if (CPhysicalInterface* pi = owner_->PhysicalInterface()) pi->StatusReadBegin();
}

void CUsb488ClassRequests::AssertServiceRequest(std::uint32_t* status) {
  if (*status != 0) return;
  if (status_read_active_ == 0 && enabled_ != 0) {
    BeginStatusRead(true);
  } else {
    srq_pending_ = 1;
  }
}

void CUsb488ClassRequests::WithdrawServiceRequest(std::uint32_t* status) {
  if (*status != 0) return;
  srq_pending_ = 0;
}

void CUsb488ClassRequests::SendStatusNotification(std::uint8_t status_byte, std::uint32_t* status) {
  if (*status != 0) return;
  if (status_read_active_ != 0 && io_ != nullptr) {
    // The answer to READ_STATUS_BYTE carries its bTag; only a service request goes out as 0x81.
    std::uint8_t* n = notification_.Data();
    n[0] = status_read_for_srq_ != 0 ? 0x81 : static_cast<std::uint8_t>(0x80 | status_tag_);
    n[1] = status_byte;
    notification_.SetWindow(0, 2);
    notification_.next = nullptr;
    io_->StartWrite(kUsbKindInterruptIn, &notification_, status);
  }
  if (CPhysicalInterface* pi = owner_->PhysicalInterface()) pi->StatusReadEnd();
}

void CUsb488ClassRequests::OnNotificationComplete(std::uint32_t result, std::uint32_t* status) {
  if (*status != 0) return;
  if (srq_pending_ != 0 && result == kUsbResultCompleted) {
    srq_pending_ = 0;
    BeginStatusRead(true);
  } else {
    status_read_active_ = 0;
    status_read_for_srq_ = 0;
  }
}
