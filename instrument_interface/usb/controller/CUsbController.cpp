#include "usb/controller/CUsbController.h"

#include <new>

std::uint32_t CPrimaryInterruptResolver::Handle() { return controller_->CheckInterrupt(); }

std::uint32_t CSecondaryInterruptResolver::Handle() {
  controller_->ServiceInterrupt();
  return 1;
}

CUsbInterruptResolverPair::~CUsbInterruptResolverPair() {
  if (attached_ != 0) device_->DetachHandlers();
}

void CUsbInterruptResolverPair::Attach(std::uint32_t* status) {
  if (*status != 0) return;
  std::uint32_t s = 0;
  device_->AttachHandlers(&primary_, &secondary_, &s);
  if (s != 0) {
    *status = kStatusNotReported;
    return;
  }
  attached_ = 1;
}

CUsbController::CUsbController(COSUsbDevice* device, CUsbExceptionEventObserver* exception_observer,
                               std::uint32_t capacity, std::uint32_t* status)
    : device_(device), exception_observer_(exception_observer) {
  cyg_mutex_init(&service_lock_);
  if (*status != 0) return;
  order_ = new (std::nothrow) ServiceEntry[capacity];
  if (order_ == nullptr) {
    *status = kStatusOutOfMemory;
    return;
  }
  capacity_ = capacity;
}

void CUsbController::DetachInterruptHookup() {
  delete hookup_;  // detaches the handlers: no pass runs after this
  hookup_ = nullptr;
}

CUsbController::~CUsbController() {
  DetachInterruptHookup();
  delete[] order_;
  cyg_mutex_destroy(&service_lock_);
}

void CUsbController::PulseIndicator(std::uint16_t, std::uint32_t* status) {
  if (*status == 0) *status = kStatusNotReported;
}

std::uint32_t CUsbController::PriorityOf(std::int32_t kind) {
  switch (kind) {
    case kUsbKindBulkOut: return 1;
    case kUsbKindBulkIn: return 2;
    case kUsbKindInterruptIn: return 3;
    default: return 4;
  }
}

CUsbControllerEndpoint* CUsbController::InsertEndpoint(CUsbControllerEndpoint* endpoint, std::uint32_t* status) {
  if (*status != 0 || endpoint == nullptr) {
    if (endpoint != nullptr) DestroyEndpoint(endpoint);
    return nullptr;
  }
  auto after = [endpoint](const CUsbControllerEndpoint* e) {
    if (e->configuration() != endpoint->configuration()) return e->configuration() > endpoint->configuration();
    if (e->interface_number() != endpoint->interface_number())
      return e->interface_number() > endpoint->interface_number();
    return e->alternate() > endpoint->alternate();
  };
  auto it = endpoints_.begin();
  while (it != endpoints_.end() && !after(*it)) ++it;
  try {
    endpoints_.insert(it, endpoint);
  } catch (const std::bad_alloc&) {
    *status = kStatusOutOfMemory;
    DestroyEndpoint(endpoint);
    return nullptr;
  }
  return endpoint;
}

CUsbControllerEndpoint* CUsbController::AddControlEndpoint(CUsbEndpointEventObserver* observer, std::uint32_t* status) {
  if (*status != 0) return nullptr;
  return InsertEndpoint(CreateControlEndpoint(observer, status), status);
}

CUsbControllerEndpoint* CUsbController::AddEndpoint(std::uint8_t configuration, std::uint8_t interface,
                                                    std::uint8_t alternate, std::int32_t kind,
                                                    CUsbEndpointEventObserver* observer, std::uint32_t* status) {
  if (*status != 0) return nullptr;
  CUsbControllerEndpoint* endpoint = nullptr;
  switch (kind) {
    case kUsbKindBulkIn: endpoint = CreateBulkInEndpoint(configuration, interface, alternate, observer, status); break;
    case kUsbKindBulkOut:
      endpoint = CreateBulkOutEndpoint(configuration, interface, alternate, observer, status);
      break;
    case kUsbKindInterruptIn:
      endpoint = CreateInterruptInEndpoint(configuration, interface, alternate, observer, status);
      break;
    default: *status = kStatusNotReported; return nullptr;
  }
  return InsertEndpoint(endpoint, status);
}

void CUsbController::RemoveEndpoint(CUsbControllerEndpoint* endpoint) {
  if (endpoint == nullptr) return;
  LeaveService(endpoint);
  for (auto it = endpoints_.begin(); it != endpoints_.end(); ++it) {
    if (*it == endpoint) {
      endpoints_.erase(it);
      break;
    }
  }
  DestroyEndpoint(endpoint);
}

bool CUsbController::HasConfiguration(std::uint8_t value) const {
  for (const CUsbControllerEndpoint* e : endpoints_)
    if (e->configuration() == value) return true;
  return false;
}

bool CUsbController::HasAlternateSetting(std::uint8_t configuration, std::uint8_t interface,
                                         std::uint8_t alternate) const {
  for (const CUsbControllerEndpoint* e : endpoints_) {
    if (e->configuration() == configuration && e->interface_number() == interface && e->alternate() == alternate)
      return true;
  }
  return false;
}

std::uint8_t CUsbController::GetAlternateSetting(std::uint8_t interface) const {
  for (std::uint32_t i = 0; i < order_size_; ++i)
    if (order_[i].endpoint->interface_number() == interface) return order_[i].endpoint->alternate();
  return 0xFF;
}

bool CUsbController::IsInterfaceActive(std::uint8_t interface) const { return GetAlternateSetting(interface) != 0xFF; }

CUsbControllerEndpoint* CUsbController::LiveEndpoint(std::uint8_t address) const {
  for (std::uint32_t i = 0; i < order_size_; ++i)
    if (order_[i].endpoint->address() == address) return order_[i].endpoint;
  return nullptr;
}

bool CUsbController::IsEndpointStalled(std::uint8_t address, std::uint32_t* status) {
  if (*status != 0) return false;
  CUsbControllerEndpoint* e = LiveEndpoint(address);
  if (e == nullptr) {
    *status = kUsbStatusNoSuchEndpoint;
    return false;
  }
  return e->IsStalled();
}

void CUsbController::StallEndpoint(std::uint8_t address, std::uint32_t* status) {
  if (*status != 0) return;
  CUsbControllerEndpoint* e = LiveEndpoint(address);
  if (e == nullptr) {
    *status = kUsbStatusNoSuchEndpoint;
    return;
  }
  e->Stall(status);
}

void CUsbController::ClearEndpointStall(std::uint8_t address, std::uint32_t* status) {
  if (*status != 0) return;
  CUsbControllerEndpoint* e = LiveEndpoint(address);
  if (e == nullptr) {
    *status = kUsbStatusNoSuchEndpoint;
    return;
  }
  e->ClearStall(status);
}

bool CUsbController::InOrder(const CUsbControllerEndpoint* endpoint) const {
  for (std::uint32_t i = 0; i < order_size_; ++i)
    if (order_[i].endpoint == endpoint) return true;
  return false;
}

bool CUsbController::EnterService(CUsbControllerEndpoint* endpoint, std::uint32_t* status) {
  if (InOrder(endpoint)) return true;  // never twice
  if (order_size_ >= capacity_) {
    if (*status == 0) *status = kStatusOutOfMemory;
    return false;
  }
  const std::uint32_t priority = PriorityOf(endpoint->kind());
  std::uint32_t at = order_size_;
  while (at > 0 && order_[at - 1].priority > priority) {
    order_[at] = order_[at - 1];
    --at;
  }
  order_[at] = ServiceEntry{endpoint, priority};
  ++order_size_;
  return true;
}

void CUsbController::LeaveService(CUsbControllerEndpoint* endpoint) {
  std::uint32_t w = 0;
  for (std::uint32_t r = 0; r < order_size_; ++r)
    if (order_[r].endpoint != endpoint) order_[w++] = order_[r];
  order_size_ = w;
}

void CUsbController::Start(CUsbDeviceEventObserver* observer, std::uint32_t* status) {
  if (*status != 0) return;
  ResetHardware(status);
  if (*status != 0) return;
  CUsbControllerEndpoint* control = nullptr;
  for (CUsbControllerEndpoint* e : endpoints_) {
    if (e->kind() == kUsbKindControl) {
      control = e;
      break;
    }
  }
  if (control == nullptr) {
    *status = kStatusNotReported;
    return;
  }
  control->Configure(status);
  if (*status != 0) return;
  EnterService(control, status);
  if (*status != 0) return;
  if (hookup_ == nullptr) {
    hookup_ = new (std::nothrow) CUsbInterruptResolverPair(device_, this);
    if (hookup_ == nullptr) {
      *status = kStatusOutOfMemory;
      return;
    }
    hookup_->Attach(status);
    if (*status != 0) {
      delete hookup_;
      hookup_ = nullptr;
      return;
    }
  }
  device_observer_ = observer;
  Connect(status);
  if (*status != 0) device_observer_ = nullptr;
}

void CUsbController::Shutdown(std::uint32_t* status) {
  std::uint32_t first = *status;
  std::uint32_t s = 0;
  Disconnect(&s);
  if (first == 0) first = s;
  for (std::uint32_t i = 0; i < order_size_; ++i) {
    s = 0;
    order_[i].endpoint->Deconfigure(&s);
    if (first == 0) first = s;
  }
  order_size_ = 0;
  s = 0;
  ResetHardware(&s);
  if (first == 0) first = s;
  configuration_ = 0;
  device_observer_ = nullptr;
  s = 0;
  EndpointsReset(&s);
  if (first == 0) first = s;
  *status = first;
}

void CUsbController::ResetLiveEndpoints(std::uint32_t* status) {
  CUsbControllerEndpoint* control = nullptr;
  for (std::uint32_t i = 0; i < order_size_; ++i) {
    CUsbControllerEndpoint* e = order_[i].endpoint;
    if (e->kind() == kUsbKindControl) {
      control = e;
    } else {
      e->Deconfigure(status);
    }
  }
  order_size_ = 0;
  if (control != nullptr) EnterService(control, status);
  configuration_ = 0;
  EndpointsReset(status);
}

void CUsbController::SetConfiguration(std::uint8_t value, std::uint32_t* status) {
  if (*status != 0) return;
  if (configuration_ != 0) ResetLiveEndpoints(status);
  if (value != 0) {
    for (CUsbControllerEndpoint* e : endpoints_) {
      if (*status != 0) break;
      if (e->configuration() != value || e->kind() == kUsbKindControl) continue;
      if (e->alternate() == 0) {
        e->Configure(status);
        if (*status == 0) EnterService(e, status);
      } else {
        e->PrepareAlternate(status);
      }
    }
  }
  ConfigurationChanged();
  ConfigurationCommitted();
  if (*status == 0) configuration_ = value;
  if (device_observer_ != nullptr) device_observer_->OnSetConfiguration(value, status);
}

void CUsbController::SetInterface(std::uint8_t configuration, std::uint8_t interface, std::uint8_t alternate,
                                  std::uint32_t* status) {
  if (*status != 0) return;
  std::uint32_t i = 0;
  while (i < order_size_) {
    CUsbControllerEndpoint* e = order_[i].endpoint;
    if (e->interface_number() == interface && e->kind() != kUsbKindControl) {
      e->Deconfigure(status);
      LeaveService(e);
    } else {
      ++i;
    }
  }
  for (CUsbControllerEndpoint* e : endpoints_) {
    if (*status != 0) break;
    if (e->kind() == kUsbKindControl) continue;  // endpoint 0 is live whenever the device is started
    if (e->configuration() == configuration && e->interface_number() == interface && e->alternate() == alternate) {
      e->Configure(status);
      if (*status == 0) EnterService(e, status);
    }
  }
  if (device_observer_ != nullptr) device_observer_->OnSetInterface(configuration, interface, alternate, status);
}

std::uint32_t CUsbController::CheckInterrupt() {
  if (!IsInterruptPending()) return 0;
  DisableInterrupts();
  return 1;
}

bool CUsbController::IsCalledFromService() const {
  return in_service_.load() != 0 && device_ != nullptr && cyg_thread_self() == service_thread_.load();
}

void CUsbController::ServiceInterrupt() {
  while (!cyg_mutex_lock(&service_lock_)) {
  }
  ServicePassStarting();
  if (interrupts_enabled_.load() == 0) {
    cyg_mutex_unlock(&service_lock_);
    return;
  }
  service_thread_.store(cyg_thread_self());
  in_service_.store(1);
  std::uint32_t status = 0;
  for (std::uint32_t i = 0; i < order_size_; ++i) {
    CUsbControllerEndpoint* e = order_[i].endpoint;
    const bool control = e->kind() == kUsbKindControl;
    if (e->IsInterruptPending()) e->Service(&status);
    if (control) break;
  }
  CUsbDeviceEventObserver* observer = device_observer_;
  if (TakeSuspend() && observer != nullptr) observer->OnSuspend(&status);
  if (TakeBusReset()) {
    // The host resets the device to its default state: unconfigured, endpoint 0 only.
    std::uint32_t s = 0;
    ResetLiveEndpoints(&s);
    if (observer != nullptr) observer->OnBusReset(&status);
    if (status == 0) status = s;
  }
  if (TakeResume()) {
    std::uint32_t s = 0;
    ResetLiveEndpoints(&s);
    if (observer != nullptr) observer->OnResume(&status);
    if (status == 0) status = s;
  }
  if (interrupts_enabled_.load() != 0) {
    std::uint32_t s = 0;
    EnableInterrupts(&s);
    if (status == 0) status = s;
  }
  if (status != 0 && exception_observer_ != nullptr) exception_observer_->OnUsbException(device_, status);
  in_service_.store(0);
  service_thread_.store(0);
  cyg_mutex_unlock(&service_lock_);
}

void CUsbController::SuspendInterruptService() {
  const bool inside = IsCalledFromService();
  if (!inside) {
    while (!cyg_mutex_lock(&service_lock_)) {
    }
  }
  interrupts_enabled_.store(0);
  DisableInterrupts();
  if (!inside) cyg_mutex_unlock(&service_lock_);
}

void CUsbController::ResumeInterruptService(std::uint32_t* status) {
  if (*status != 0) return;
  const bool inside = IsCalledFromService();
  if (!inside) {
    while (!cyg_mutex_lock(&service_lock_)) {
    }
  }
  interrupts_enabled_.store(1);
  EnableInterrupts(status);
  if (!inside) cyg_mutex_unlock(&service_lock_);
}
