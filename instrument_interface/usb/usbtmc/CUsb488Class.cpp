#include "usb/usbtmc/CUsb488Class.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "engine/CDataBuffer.h"
#include "engine/CPhysicalInterface.h"
#include "engine/DoVovuriStatus.h"
#include "usb/usbtmc/CUsb488ClassRequests.h"
#include "usb/usbtmc/CUsbTmcBulkManager.h"

namespace {

// Capability record offsets and bits.
constexpr std::size_t kCapInterface = 4;
constexpr std::size_t kCapDevice = 5;
constexpr std::size_t kCap488Interface = 14;
constexpr std::size_t kCap488Device = 15;
constexpr std::uint8_t kCapIndicatorPulse = 0x04;
constexpr std::uint8_t kCapTermChar = 0x01;
constexpr std::uint8_t kCap4882Interface = 0x04;
constexpr std::uint8_t kCapRenGtlLlo = 0x02;
constexpr std::uint8_t kCapTrigger = 0x01;
constexpr std::uint8_t kCapSr1 = 0x04;
constexpr std::uint8_t kCapRl1 = 0x02;
constexpr std::uint8_t kCapDt1 = 0x01;

constexpr std::uint8_t kInterruptInPacket = 2;

}  // namespace

CUsb488Class::CUsb488Class(std::uint32_t max_chunk, std::uint32_t* status) {
  if (*status != 0) return;
  requests_ = new (std::nothrow) CUsb488ClassRequests(this, status);
  if (requests_ == nullptr) {
    *status = kStatusOutOfMemory;
    return;
  }
  if (*status != 0) return;
  bulk_ = new (std::nothrow) CUsbTmcBulkManager(this, max_chunk, status);
  if (bulk_ == nullptr) {
    *status = kStatusOutOfMemory;
    return;
  }
  if (*status != 0) return;
  description_.interface_class = 0xFE;
  description_.subclass = 3;
  description_.protocol = 1;
  description_.interface_string = kUsb488InterfaceString;
  description_.endpoint_count = 3;
  description_.endpoint_kinds[0] = kUsbKindBulkOut;
  description_.endpoint_kinds[1] = kUsbKindBulkIn;
  description_.endpoint_kinds[2] = kUsbKindInterruptIn;
  description_.interval_high[kUsbKindInterruptIn] = 2;
  description_.interval_full[kUsbKindInterruptIn] = 1;
  description_.packet_size[kUsbKindInterruptIn] = kInterruptInPacket;
  remote_local_ = new (std::nothrow) CRemoteLocalStateMachine(this, status);
  if (remote_local_ == nullptr) {
    *status = kStatusOutOfMemory;
    return;
  }
  if (*status != 0) return;
  capabilities_[2] = 0x00;  // bcdUSBTMC 0x0100, little-endian
  capabilities_[3] = 0x01;
  capabilities_[kCapDevice] = kCapTermChar;
  capabilities_[12] = 0x00;  // bcdUSB488 0x0100
  capabilities_[13] = 0x01;
  capabilities_[kCap488Interface] = kCap4882Interface | kCapRenGtlLlo | kCapTrigger;
  capabilities_[kCap488Device] = kCapSr1;
}

CUsb488Class::~CUsb488Class() {
  delete requests_;
  delete bulk_;
  delete remote_local_;
}

// --- device framework --------------------------------------------------------------------------------

void CUsb488Class::OnSetup(const UsbSetupPacket& setup, std::uint32_t* status) { requests_->Dispatch(setup, status); }

void CUsb488Class::OnReadComplete(std::int32_t, std::uint32_t result, std::uint32_t count, std::uint32_t* status) {
  bulk_->OnBulkOutComplete(result, count, status);
}

void CUsb488Class::OnWriteComplete(std::int32_t kind, std::uint32_t result, std::uint32_t count,
                                   std::uint32_t* status) {
  if (kind == kUsbKindBulkIn) {
    bulk_->OnBulkInComplete(result, count, status);
  } else if (kind == kUsbKindControl) {
    requests_->OnControlWriteComplete(result, status);
  } else {
    requests_->OnNotificationComplete(result, status);
  }
}

void CUsb488Class::OnInterfaceEnabled(std::uint32_t* status) {
  bulk_->StartListening(status);
  requests_->Enable(status);
  // A freshly configured interface starts local without REN.
  remote_local_->RenDeasserted();
}

void CUsb488Class::OnInterfaceDisabled(std::uint32_t* status) {
  bulk_->StopListening(status);
  bulk_->Reset();
  requests_->Disable(status);
}

void CUsb488Class::OnSuspend(std::uint32_t*) { remote_local_->GoToLocal(); }

// --- engine side -------------------------------------------------------------------------------------

void CUsb488Class::Attach(CUsbInterfaceClassIoManager* io, std::uint32_t* status) {
  if (*status != 0) return;
  io->AttachClass(this, status);
  bulk_->Attach(io, status);
  requests_->Attach(io, status);
  if (*status != 0) return;
  io_ = io;
  if (io->IsIndicatorSupported()) {
    capabilities_[kCapInterface] |= kCapIndicatorPulse;
  } else {
    capabilities_[kCapInterface] &= static_cast<std::uint8_t>(~kCapIndicatorPulse);
  }
}

void CUsb488Class::Detach(std::uint32_t* status) {
  if (*status != 0) return;
  bulk_->Detach();
  requests_->Detach();
  if (io_ != nullptr) io_->DetachClass();
  io_ = nullptr;
}

void CUsb488Class::EnableTrigger(std::uint32_t* status) {
  if (*status != 0) return;
  if (trigger_enabled_ != 0) {
    *status = DOVOVURI_STATUS_EVENT_ALREADY_ENABLED;
    return;
  }
  trigger_enabled_ = 1;
  capabilities_[kCap488Device] |= kCapDt1;
}

void CUsb488Class::DisableTrigger(std::uint32_t* status) {
  if (*status != 0) return;
  trigger_enabled_ = 0;
  capabilities_[kCap488Device] &= static_cast<std::uint8_t>(~kCapDt1);
}

void CUsb488Class::EnableRemoteLocal(std::uint32_t* status) {
  if (*status != 0) return;
  if (remote_local_enabled_ != 0) {
    *status = DOVOVURI_STATUS_EVENT_ALREADY_ENABLED;
    return;
  }
  remote_local_enabled_ = 1;
  remote_local_->SetNotifications(true);
  capabilities_[kCap488Device] |= kCapRl1;
  const std::uint32_t id = remote_local_->GetStateId();
  if (id != CRemoteLocalStateMachine::kIdLocs) OnRemoteLocalStateChanged(id);
}

void CUsb488Class::DisableRemoteLocal(std::uint32_t* status) {
  if (*status != 0) return;
  remote_local_enabled_ = 0;
  remote_local_->SetNotifications(false);
  capabilities_[kCap488Device] &= static_cast<std::uint8_t>(~kCapRl1);
}

void CUsb488Class::InputBufferReady(std::uint32_t* status) {
  if (*status != 0) return;
  input_buffer_ready_ = 1;
}

bool CUsb488Class::TakeInputBufferReady() {
  if (input_buffer_ready_ == 0) return false;
  input_buffer_ready_ = 0;
  return true;
}

void CUsb488Class::DeviceClearDone(std::uint32_t* status) { requests_->DeviceClearDone(status); }

void CUsb488Class::AttachInputBuffer(CDataBuffer* buffer, std::uint32_t* status) {
  if (*status != 0) return;
  if (io_ != nullptr) io_->RegisterReadBuffer(kUsbKindBulkOut, buffer, status);
}

void CUsb488Class::AttachOutputBuffer(CDataBuffer* buffer, std::uint32_t* status) {
  if (*status != 0) return;
  if (io_ != nullptr) io_->RegisterWriteBuffer(kUsbKindBulkIn, buffer, status);
}

void CUsb488Class::Receive(CDataBuffer* buffer, std::uint32_t* status) { bulk_->Receive(buffer, status); }

void CUsb488Class::CancelReceive(std::uint32_t* count, bool* end, std::uint32_t* status) {
  bulk_->CancelReceive(count, end, status);
}

void CUsb488Class::Send(CDataBuffer* buffer, std::uint8_t term_char_found, std::uint8_t end, std::uint32_t* status) {
  bulk_->Send(buffer, term_char_found != 0, end != 0, status);
}

void CUsb488Class::CancelSend(std::uint32_t* count, std::uint32_t* status) { bulk_->CancelSend(count, status); }

bool CUsb488Class::IsReceiveActive() { return bulk_->IsListening() && bulk_->IsTransferActive(); }

bool CUsb488Class::IsSendActive() { return bulk_->IsListening() && bulk_->IsResponseRequested(); }

void CUsb488Class::ClampTransfer(CDataBuffer* buffer) {
  const std::uint32_t limit = bulk_->IsTransferActive() ? bulk_->BulkOutRemaining() : bulk_->BulkInTransferSize();
  const std::uint32_t start = buffer->WindowStart();
  const std::uint32_t length = buffer->WindowEnd() - start;
  buffer->SetWindow(start, start + std::min({length, limit, bulk_->MaxChunk()}));
}

bool CUsb488Class::IsTermCharEnabled() { return bulk_->IsTermCharEnabled(); }

std::uint8_t CUsb488Class::GetTermChar() { return bulk_->TermChar(); }

void CUsb488Class::ReportStatusByte(std::uint8_t byte, std::uint32_t* status) {
  requests_->SendStatusNotification(byte, status);
}

void CUsb488Class::AssertServiceRequest(std::uint32_t* status) { requests_->AssertServiceRequest(status); }

void CUsb488Class::WithdrawServiceRequest(std::uint32_t* status) { requests_->WithdrawServiceRequest(status); }

void CUsb488Class::ReturnToLocal(std::uint32_t* status) {
  if (*status != 0) return;
  remote_local_->ReturnToLocal();
}

// --- remote/local ------------------------------------------------------------------------------------

void CUsb488Class::OnRemoteLocalStateChanged(std::uint32_t state_id) {
  std::uint32_t value = kRemoteLocalRems;
  switch (state_id) {
    case CRemoteLocalStateMachine::kIdLocs: value = kRemoteLocalLocs; break;
    case CRemoteLocalStateMachine::kIdRems: value = kRemoteLocalRems; break;
    case CRemoteLocalStateMachine::kIdLwls: value = kRemoteLocalLwls; break;
    case CRemoteLocalStateMachine::kIdRwls: value = kRemoteLocalRwls; break;
    default: break;
  }
  if (physical_interface_ != nullptr) physical_interface_->RemoteLocalChanged(value);
}

void CUsb488Class::AddressedThenDeviceClear() {
  remote_local_->Addressed();
  if (physical_interface_ != nullptr) physical_interface_->DeviceClear();
}

void CUsb488Class::CopyCapabilities(std::uint8_t* out) const { std::memcpy(out, capabilities_, kUsb488CapabilitySize); }
