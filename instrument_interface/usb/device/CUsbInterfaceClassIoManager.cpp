#include "usb/device/CUsbInterfaceClassIoManager.h"

#include "usb/device/CUsbDeviceManager.h"

// --- shared default endpoint -------------------------------------------------------------------------

CUsbEndpoint* CUsbSharedDefaultEndpoint::Borrow() {
  borrowed_ = manager_->BorrowDefaultEndpoint(this);
  return borrowed_;
}

void CUsbSharedDefaultEndpoint::GiveBack() {
  if (borrowed_ != nullptr) manager_->ReturnDefaultEndpoint();
  borrowed_ = nullptr;
}

void CUsbSharedDefaultEndpoint::RegisterReadBuffer(CDataBuffer* buffer) {
  if (CUsbEndpoint* e = Borrow()) e->RegisterReadBuffer(buffer);
  GiveBack();
}

void CUsbSharedDefaultEndpoint::RegisterWriteBuffer(CDataBuffer* buffer) {
  if (CUsbEndpoint* e = Borrow()) e->RegisterWriteBuffer(buffer);
  GiveBack();
}

void CUsbSharedDefaultEndpoint::AcknowledgeStatus(std::uint32_t* status) {
  if (*status != 0) return;
  if (CUsbEndpoint* e = Borrow()) e->AcknowledgeStatus(status);
  GiveBack();
}

void CUsbSharedDefaultEndpoint::Halt(std::uint32_t* status) {
  if (*status != 0) return;
  if (CUsbEndpoint* e = Borrow()) e->Halt(status);
  GiveBack();
}

void CUsbSharedDefaultEndpoint::ReleaseHalt(std::uint32_t* status) {
  if (*status != 0) return;
  if (CUsbEndpoint* e = Borrow()) e->ReleaseHalt(status);
  GiveBack();
}

void CUsbSharedDefaultEndpoint::StartRead(CDataBuffer* chain, std::uint32_t* status) {
  if (*status != 0) return;
  CUsbEndpoint* e = Borrow();
  if (e == nullptr) return;
  e->StartRead(chain, status);
  if (*status == 0) {
    state_ = 0x8800;
  } else {
    GiveBack();  // a refused transfer leaves nothing borrowed
  }
}

void CUsbSharedDefaultEndpoint::StartWrite(CDataBuffer* chain, std::uint32_t* status) {
  if (*status != 0) return;
  CUsbEndpoint* e = Borrow();
  if (e == nullptr) return;
  e->StartWrite(chain, status);
  if (*status == 0) {
    state_ = 0x8400;
  } else {
    GiveBack();
  }
}

void CUsbSharedDefaultEndpoint::CancelTransfer(std::uint32_t* count, std::uint32_t* status) {
  if (borrowed_ == nullptr) return;
  borrowed_->CancelTransfer(count, status);
  GiveBack();
  state_ = 0;
}

void CUsbSharedDefaultEndpoint::AbortTransfer(std::uint32_t* status) {
  if (borrowed_ == nullptr) return;
  std::uint32_t count = 0;
  std::uint32_t s = 0;
  borrowed_->CancelTransfer(&count, &s);
  GiveBack();
  const bool read = (state_ & 0x0800) != 0;
  state_ = 0;
  std::uint32_t report = 0;
  if (observer_ != nullptr) {
    if (read) {
      observer_->OnReadComplete(kUsbKindControl, kUsbResultAborted, count, &report);
    } else {
      observer_->OnWriteComplete(kUsbKindControl, kUsbResultAborted, count, &report);
    }
  }
  if (*status == 0) *status = report;
}

void CUsbSharedDefaultEndpoint::CompleteRead(std::uint32_t result, std::uint32_t count, std::uint32_t* status) {
  GiveBack();
  state_ = 0;
  if (observer_ != nullptr) observer_->OnReadComplete(kUsbKindControl, result, count, status);
}

void CUsbSharedDefaultEndpoint::CompleteWrite(std::uint32_t result, std::uint32_t count, std::uint32_t* status) {
  GiveBack();
  state_ = 0;
  if (observer_ != nullptr) observer_->OnWriteComplete(kUsbKindControl, result, count, status);
}

// --- I/O manager -------------------------------------------------------------------------------------

CUsbInterfaceClassIoManager::CUsbInterfaceClassIoManager(CUsbDeviceManager* manager, std::uint8_t configuration,
                                                         std::uint8_t interface, std::uint8_t alternate, std::uint32_t*)
    : manager_(manager), configuration_(configuration), interface_(interface), alternate_(alternate) {}

void CUsbInterfaceClassIoManager::AttachClass(CUsbInterfaceClassEventObserver* cls, std::uint32_t* status) {
  if (*status != 0) return;
  class_ = cls;
}

bool CUsbInterfaceClassIoManager::IsIndicatorSupported() { return manager_->IsIndicatorSupported(); }

void CUsbInterfaceClassIoManager::PulseIndicator(std::uint16_t ms, std::uint32_t* status) {
  manager_->PulseIndicator(ms, status);
}

CUsbEndpoint* CUsbInterfaceClassIoManager::For(std::int32_t kind, std::uint32_t* status) {
  if (*status != 0) return nullptr;
  CUsbEndpoint* e = EndpointOfKind(kind);
  if (e == nullptr) *status = kStatusNotReported;
  return e;
}

void CUsbInterfaceClassIoManager::RegisterReadBuffer(std::int32_t kind, CDataBuffer* buffer, std::uint32_t* status) {
  if (CUsbEndpoint* e = For(kind, status)) e->RegisterReadBuffer(buffer);
}

void CUsbInterfaceClassIoManager::StartRead(std::int32_t kind, CDataBuffer* chain, std::uint32_t* status) {
  if (CUsbEndpoint* e = For(kind, status)) e->StartRead(chain, status);
}

void CUsbInterfaceClassIoManager::RegisterWriteBuffer(std::int32_t kind, CDataBuffer* buffer, std::uint32_t* status) {
  if (CUsbEndpoint* e = For(kind, status)) e->RegisterWriteBuffer(buffer);
}

void CUsbInterfaceClassIoManager::StartWrite(std::int32_t kind, CDataBuffer* chain, std::uint32_t* status) {
  if (CUsbEndpoint* e = For(kind, status)) e->StartWrite(chain, status);
}

void CUsbInterfaceClassIoManager::CancelTransfer(std::int32_t kind, std::uint32_t* count, std::uint32_t* status) {
  CUsbEndpoint* e = EndpointOfKind(kind);
  if (e == nullptr) {
    if (*status == 0) *status = kStatusNotReported;
    return;
  }
  e->CancelTransfer(count, status);
}

bool CUsbInterfaceClassIoManager::IsFifoEmpty(std::int32_t kind) {
  CUsbEndpoint* e = EndpointOfKind(kind);
  return e != nullptr && e->IsFifoEmpty();
}

void CUsbInterfaceClassIoManager::FlushFifo(std::int32_t kind, std::uint32_t* status) {
  if (CUsbEndpoint* e = For(kind, status)) e->FlushFifo(status);
}

void CUsbInterfaceClassIoManager::AcknowledgeStatus(std::uint32_t* status) {
  if (CUsbEndpoint* e = For(kUsbKindControl, status)) e->AcknowledgeStatus(status);
}

void CUsbInterfaceClassIoManager::Halt(std::int32_t kind, std::uint32_t* status) {
  if (CUsbEndpoint* e = For(kind, status)) e->Halt(status);
}

void CUsbInterfaceClassIoManager::ReleaseHalt(std::int32_t kind, std::uint32_t* status) {
  if (CUsbEndpoint* e = For(kind, status)) e->ReleaseHalt(status);
}

void CUsbInterfaceClassIoManager::Enable(std::uint32_t* status) {
  if (*status != 0) return;
  enabled_ = 1;
  if (class_ != nullptr) class_->OnInterfaceEnabled(status);
  if (*status != 0) enabled_ = 0;
}

void CUsbInterfaceClassIoManager::Disable(std::uint32_t* status) {
  std::uint32_t own = 0;
  if (class_ != nullptr) class_->OnInterfaceDisabled(&own);
  enabled_ = 0;
  if (*status == 0) *status = own;
}

void CUsbInterfaceClassIoManager::Suspend(std::uint32_t* status) {
  if (*status != 0) return;
  if (class_ != nullptr) class_->OnSuspend(status);
}

void CUsbInterfaceClassIoManager::AddEndpoint(CUsbEndpoint* endpoint, std::uint32_t* status) {
  if (*status != 0 || endpoint == nullptr) return;
  const std::int32_t kind = endpoint->kind();
  if (kind < 0 || kind >= kUsbKindCount) {
    *status = kStatusNotReported;
    return;
  }
  endpoints_[kind] = endpoint;
}

CUsbEndpoint* CUsbInterfaceClassIoManager::TakeEndpoint() {
  for (CUsbEndpoint*& e : endpoints_) {
    if (e != nullptr) {
      CUsbEndpoint* taken = e;
      e = nullptr;
      return taken;
    }
  }
  return nullptr;
}

CUsbEndpoint* CUsbInterfaceClassIoManager::FirstEndpoint() {
  cursor_ = 0;
  return NextEndpoint();
}

CUsbEndpoint* CUsbInterfaceClassIoManager::NextEndpoint() {
  while (cursor_ < static_cast<std::uint32_t>(kUsbKindCount)) {
    CUsbEndpoint* e = endpoints_[cursor_++];
    if (e != nullptr) return e;
  }
  return nullptr;
}

bool CUsbInterfaceClassIoManager::SortsBefore(const CUsbInterfaceClassIoManager& other) const {
  if (configuration_ != other.configuration_) return configuration_ < other.configuration_;
  if (interface_ != other.interface_) return interface_ < other.interface_;
  return alternate_ < other.alternate_;
}

void CUsbInterfaceClassIoManager::OnSetup(const UsbSetupPacket& setup, std::uint32_t* status) {
  if (*status != 0) return;
  if (class_ != nullptr) {
    class_->OnSetup(setup, status);
  } else {
    // No class to answer: a request error of endpoint 0.
    std::uint32_t s = 0;
    if (endpoints_[kUsbKindControl] != nullptr) endpoints_[kUsbKindControl]->Halt(&s);
  }
}

void CUsbInterfaceClassIoManager::OnReadComplete(std::int32_t kind, std::uint32_t result, std::uint32_t count,
                                                 std::uint32_t* status) {
  if (*status != 0) return;
  if (class_ != nullptr) class_->OnReadComplete(kind, result, count, status);
}

void CUsbInterfaceClassIoManager::OnWriteComplete(std::int32_t kind, std::uint32_t result, std::uint32_t count,
                                                  std::uint32_t* status) {
  if (*status != 0) return;
  if (class_ != nullptr) class_->OnWriteComplete(kind, result, count, status);
}
