#include "usb/device/CUsbDeviceManager.h"

#include <new>

// Takes the manager's lock unless the caller is inside a service pass (which never takes it).
class CUsbDeviceManager::Guard {
 public:
  Guard(CUsbDeviceManager* manager) : lock_(manager->controller_->IsCalledFromService() ? nullptr : manager->lock_) {
    std::uint32_t s = 0;
    if (lock_ != nullptr) lock_->Lock(&s);
  }
  ~Guard() {
    if (lock_ != nullptr) lock_->Unlock();
  }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  COSMutex* lock_;
};

CUsbDeviceManager::CUsbDeviceManager(CUsbController* controller, std::uint32_t* status) : controller_(controller) {
  if (*status != 0) return;
  lock_ = new (std::nothrow) COSMutex;
  if (lock_ == nullptr) {
    *status = kStatusOutOfMemory;
    return;
  }
  lock_->Init();
  if (lock_->IsFailed()) {
    *status = kStatusOutOfMemory;
    return;
  }
  descriptors_ = new (std::nothrow) CUsbDescriptorSet(status);
  if (descriptors_ == nullptr && *status == 0) *status = kStatusOutOfMemory;
  control_ = controller_->AddControlEndpoint(static_cast<CUsbEndpointEventObserver*>(this), status);
  if (*status != 0) return;
  requests_ = new (std::nothrow) CUsbStandardRequestManager(controller_, control_);
  if (requests_ == nullptr) *status = kStatusOutOfMemory;
}

CUsbDeviceManager::~CUsbDeviceManager() {
  for (CUsbInterfaceClassIoManager* io : interfaces_) DestroyInterface(io);
  interfaces_.clear();
  delete requests_;
  if (control_ != nullptr) controller_->RemoveEndpoint(control_);
  delete descriptors_;
  if (lock_ != nullptr) {
    if (!lock_->IsFailed()) lock_->Destroy();
    delete lock_;
  }
}

// --- connection --------------------------------------------------------------------------------------

void CUsbDeviceManager::Connect(const UsbDeviceSettings& settings, std::uint32_t* status) {
  if (*status != 0) return;
  Guard g(this);
  if (connected_ != 0) {
    *status = kStatusInterfaceAlreadyBound;
    return;
  }
  descriptors_->SetVendor(settings.vendor_id, settings.manufacturer, status);
  descriptors_->SetProductAndVersion(settings.product_id, settings.device_release, settings.product,
                                     settings.serial_number, status);
  descriptors_->SetDeviceClass(kUsbSpeedFull, 0, 0, 0,
                               static_cast<std::uint8_t>(control_->GetMaxPacketSize(kUsbSpeedFull)), status);
  descriptors_->SetDeviceClass(kUsbSpeedHigh, 0, 0, 0,
                               static_cast<std::uint8_t>(control_->GetMaxPacketSize(kUsbSpeedHigh)), status);
  descriptors_->ValidateConfigurations(status);
  requests_->SetDescriptorSet(descriptors_, status);
  requests_->SetPowerSource(settings.self_powered != 0 ? 1 : 2, status);
  controller_->Start(this, status);
  if (*status != 0) return;
  connected_ = 1;
  // Events flow at once unless the engine holds them back.
  if (suspension_ == 0) controller_->ResumeInterruptService(status);
}

void CUsbDeviceManager::Disconnect(std::uint32_t* status) {
  if (*status != 0) return;
  Guard g(this);
  // No service pass runs from here on (one that runs is waited for).
  controller_->SuspendInterruptService();
  controller_->Shutdown(status);
  AbortBorrower(status);
  DisableAll(status);
  requests_->Reset();
  connected_ = 0;
  suspension_ = 0;
}

// --- interfaces --------------------------------------------------------------------------------------

void CUsbDeviceManager::AddDescriptors(const UsbDeviceSettings& settings, const UsbInterfaceDescription& description,
                                       CUsbInterfaceClassIoManager* io, std::uint32_t* status) {
  const bool self_powered = settings.self_powered != 0;
  const char* interface_text =
      settings.interface_string_set != 0 ? settings.interface_string : description.interface_string;
  for (const std::uint32_t speed : {kUsbSpeedHigh, kUsbSpeedFull}) {
    if (*status != 0) return;
    if (descriptors_->Device(speed)->FindConfiguration(io->configuration()) == nullptr) {
      if ((self_powered && settings.max_power > 50) || (!self_powered && settings.max_power == 0)) {
        *status = kStatusSettingsInvalid;
        return;
      }
      descriptors_->AddConfiguration(speed, io->configuration(), self_powered, false, settings.max_power,
                                     settings.configuration_string, status);
    }
    descriptors_->AddInterface(speed, io->configuration(), io->interface_number(), io->alternate(),
                               description.interface_class, description.subclass, description.protocol, interface_text,
                               status);
    for (CUsbEndpoint* e = io->FirstEndpoint(); e != nullptr && *status == 0; e = io->NextEndpoint()) {
      if (e->kind() == kUsbKindControl) continue;
      descriptors_->AddEndpoint(speed, io->configuration(), io->interface_number(), io->alternate(), e->kind(),
                                e->address() & 0x0F, e->GetMaxPacketSize(speed), e->GetInterval(speed), status);
    }
  }
}

CUsbInterfaceClassIoManager* CUsbDeviceManager::Configure(const UsbDeviceSettings& settings,
                                                          const UsbInterfaceDescription& description,
                                                          std::uint32_t* status) {
  if (*status != 0) return nullptr;
  Guard g(this);
  if (connected_ != 0) {
    *status = kStatusInterfaceAlreadyBound;
    return nullptr;
  }
  for (const CUsbInterfaceClassIoManager* io : interfaces_) {
    if (io->configuration() == settings.configuration_value && io->interface_number() == settings.interface_number &&
        io->alternate() == 0) {
      *status = kStatusInterfaceAlreadyBound;  // that interface exists already
      return nullptr;
    }
  }
  if (description.endpoint_count > 3) {
    *status = kStatusNotReported;
    return nullptr;
  }
  auto* io = new (std::nothrow)
      CUsbInterfaceClassIoManager(this, settings.configuration_value, settings.interface_number, 0, status);
  if (io == nullptr) {
    *status = kStatusOutOfMemory;
    return nullptr;
  }
  auto* shared = new (std::nothrow) CUsbSharedDefaultEndpoint(this, io, status);
  if (shared == nullptr) {
    *status = kStatusOutOfMemory;
  } else {
    io->AddEndpoint(shared, status);
  }
  for (std::uint32_t i = 0; i < description.endpoint_count && *status == 0; ++i) {
    const std::int32_t kind = description.endpoint_kinds[i];
    CUsbControllerEndpoint* e =
        controller_->AddEndpoint(io->configuration(), io->interface_number(), io->alternate(), kind, io, status);
    if (e == nullptr) break;
    if (kind == kUsbKindInterruptIn) {
      e->SetMaxPacketSize(description.packet_size[kind], kUsbSpeedFull, status);
      e->SetMaxPacketSize(description.packet_size[kind], kUsbSpeedHigh, status);
      e->SetInterval(description.interval_full[kind], kUsbSpeedFull, status);
      e->SetInterval(description.interval_high[kind], kUsbSpeedHigh, status);
    }
    io->AddEndpoint(e, status);
    if (*status != 0) controller_->RemoveEndpoint(e);
  }
  AddDescriptors(settings, description, io, status);
  if (*status == 0) {
    auto it = interfaces_.begin();
    while (it != interfaces_.end() && !io->SortsBefore(**it)) ++it;
    try {
      interfaces_.insert(it, io);
    } catch (const std::bad_alloc&) {
      *status = kStatusOutOfMemory;
    }
  }
  if (*status != 0) {
    descriptors_->RemoveInterface(io->configuration(), io->interface_number(), io->alternate());
    DestroyInterface(io);
    return nullptr;
  }
  ++suspension_;
  return io;
}

void CUsbDeviceManager::DestroyInterface(CUsbInterfaceClassIoManager* io) {
  for (CUsbEndpoint* e = io->TakeEndpoint(); e != nullptr; e = io->TakeEndpoint()) {
    if (e->kind() == kUsbKindControl) {
      if (borrower_ == e) borrower_ = nullptr;
      delete e;
    } else {
      controller_->RemoveEndpoint(static_cast<CUsbControllerEndpoint*>(e));
    }
  }
  delete io;
}

void CUsbDeviceManager::RemoveInterface(CUsbInterfaceClassIoManager* io, std::uint32_t* status) {
  if (*status != 0 || io == nullptr) return;
  Guard g(this);
  bool found = false;
  for (auto it = interfaces_.begin(); it != interfaces_.end(); ++it) {
    if (*it == io) {
      interfaces_.erase(it);
      found = true;
      break;
    }
  }
  if (!found) {
    *status = kStatusNotReported;
    return;
  }
  // While connected, no service pass may see the endpoints go.
  const bool resume = connected_ != 0 && controller_->InterruptsEnabled();
  if (connected_ != 0) controller_->SuspendInterruptService();
  descriptors_->RemoveInterface(io->configuration(), io->interface_number(), io->alternate());
  DestroyInterface(io);
  if (resume) controller_->ResumeInterruptService(status);
}

// --- events suspension -------------------------------------------------------------------------------

void CUsbDeviceManager::SuspendEvents(std::uint32_t* status) {
  if (*status != 0) return;
  Guard g(this);
  if (suspension_ == 0 && connected_ != 0) controller_->SuspendInterruptService();
  ++suspension_;
}

void CUsbDeviceManager::ResumeEvents(std::uint32_t* status) {
  if (*status != 0) return;
  Guard g(this);
  if (suspension_ == 0) return;  // nothing suspended: the depth never goes below 0
  --suspension_;
  if (suspension_ == 0 && connected_ != 0) {
    controller_->ResumeInterruptService(status);
    if (*status != 0) ++suspension_;
  }
}

CUsbEndpoint* CUsbDeviceManager::BorrowDefaultEndpoint(CUsbSharedDefaultEndpoint* borrower) {
  Guard g(this);
  borrower_ = borrower;
  return control_;
}

void CUsbDeviceManager::PulseIndicator(std::uint16_t ms, std::uint32_t* status) {
  if (*status != 0) return;
  Guard g(this);
  controller_->PulseIndicator(ms, status);
}

// --- device events -----------------------------------------------------------------------------------

void CUsbDeviceManager::AbortBorrower(std::uint32_t* status) {
  CUsbSharedDefaultEndpoint* b = borrower_;
  if (b != nullptr) b->AbortTransfer(status);
  borrower_ = nullptr;
}

void CUsbDeviceManager::DisableAll(std::uint32_t* status) {
  for (CUsbInterfaceClassIoManager* io : interfaces_)
    if (io->IsEnabled()) io->Disable(status);
}

void CUsbDeviceManager::OnSetConfiguration(std::uint8_t value, std::uint32_t* status) {
  AbortBorrower(status);
  DisableAll(status);
  if (*status != 0 || value == 0) return;
  for (CUsbInterfaceClassIoManager* io : interfaces_)
    if (io->configuration() == value) io->Enable(status);
}

void CUsbDeviceManager::OnSetInterface(std::uint8_t configuration, std::uint8_t interface, std::uint8_t alternate,
                                       std::uint32_t* status) {
  if (*status != 0) return;
  if (borrower_ != nullptr && borrower_->interface_number() == interface) AbortBorrower(status);
  for (CUsbInterfaceClassIoManager* io : interfaces_)
    if (io->IsEnabled() && io->interface_number() == interface) io->Disable(status);
  if (*status != 0) return;
  for (CUsbInterfaceClassIoManager* io : interfaces_) {
    if (io->configuration() == configuration && io->interface_number() == interface && io->alternate() == alternate) {
      io->Enable(status);
      return;
    }
  }
  // No interface answers to that setting: a request error (a stall), not a device failure.
  *status = kUsbStatusBadRequest;
}

void CUsbDeviceManager::OnBusReset(std::uint32_t* status) {
  AbortBorrower(status);
  DisableAll(status);
}

void CUsbDeviceManager::OnResume(std::uint32_t* status) {
  AbortBorrower(status);
  DisableAll(status);
}

void CUsbDeviceManager::OnSuspend(std::uint32_t* status) {
  for (CUsbInterfaceClassIoManager* io : interfaces_)
    if (io->IsEnabled()) io->Suspend(status);
}

// --- endpoint 0 --------------------------------------------------------------------------------------

void CUsbDeviceManager::OnSetup(const UsbSetupPacket& setup, std::uint32_t* status) {
  if (*status != 0) return;
  const unsigned type = (setup.bmRequestType >> 5) & 0x03;
  if (type == 0) {
    requests_->HandleRequest(setup, status);
    return;
  }
  if (type == 1) {
    const unsigned recipient = setup.bmRequestType & 0x1F;
    const std::uint8_t target = static_cast<std::uint8_t>(setup.wIndex & 0xFF);
    for (CUsbInterfaceClassIoManager* io : interfaces_) {
      if (!io->IsEnabled()) continue;
      bool match = false;
      if (recipient == 1) {
        match = io->interface_number() == target;
      } else if (recipient == 2) {
        for (CUsbEndpoint* e = io->FirstEndpoint(); e != nullptr && !match; e = io->NextEndpoint())
          match = e->address() == target;
      }
      if (match) {
        io->OnSetup(setup, status);
        return;
      }
    }
  }
  // Vendor, reserved, a class request to the device or to nobody enabled: a stall.
  control_->Halt(status);
}

void CUsbDeviceManager::OnReadComplete(std::int32_t, std::uint32_t result, std::uint32_t count, std::uint32_t* status) {
  if (requests_->InDataStage()) {
    requests_->OnDataStageRead(result, count, status);
    return;
  }
  CUsbSharedDefaultEndpoint* b = borrower_;
  if (b == nullptr) return;
  borrower_ = nullptr;
  b->CompleteRead(result, count, status);
}

void CUsbDeviceManager::OnWriteComplete(std::int32_t, std::uint32_t result, std::uint32_t count,
                                        std::uint32_t* status) {
  if (requests_->InDataStage()) {
    requests_->OnDataStageWritten(result, count, status);
    return;
  }
  CUsbSharedDefaultEndpoint* b = borrower_;
  if (b == nullptr) return;
  borrower_ = nullptr;
  b->CompleteWrite(result, count, status);
}
