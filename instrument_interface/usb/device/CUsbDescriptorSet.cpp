#include "usb/device/CUsbDescriptorSet.h"

#include <new>

CUsbDescriptorSet::CUsbDescriptorSet(std::uint32_t* status) {
  if (*status != 0) return;
  high_ = new (std::nothrow) CUsbDeviceDescriptor(status);
  full_ = new (std::nothrow) CUsbDeviceDescriptor(status);
  qualifier_ = new (std::nothrow) CUsbDeviceQualifierDescriptor(status);
  strings_ = new (std::nothrow) CUsbStringDescriptorManager(status);
  if (*status == 0 && (high_ == nullptr || full_ == nullptr || qualifier_ == nullptr || strings_ == nullptr))
    *status = kStatusOutOfMemory;
}

CUsbDescriptorSet::~CUsbDescriptorSet() {
  delete high_;
  delete full_;
  delete qualifier_;
  delete strings_;
}

void CUsbDescriptorSet::SetProductAndVersion(std::uint16_t product, std::uint16_t release, const char* product_text,
                                             const char* serial_text, std::uint32_t* status) {
  if (*status != 0) return;
  strings_->RemoveString(full_->Byte(15));
  strings_->RemoveString(full_->Byte(16));
  const std::uint8_t product_index = strings_->AddString(kLanguage, product_text, status);
  const std::uint8_t serial_index = strings_->AddString(kLanguage, serial_text, status);
  if (*status != 0) return;
  for (CUsbDeviceDescriptor* d : {high_, full_}) {
    d->SetWord(10, product);
    d->SetWord(12, release);
    d->SetByte(15, product_index);
    d->SetByte(16, serial_index);
  }
}

void CUsbDescriptorSet::SetVendor(std::uint16_t vendor, const char* manufacturer_text, std::uint32_t* status) {
  if (*status != 0) return;
  strings_->RemoveString(full_->Byte(14));
  const std::uint8_t index = strings_->AddString(kLanguage, manufacturer_text, status);
  if (*status != 0) return;
  for (CUsbDeviceDescriptor* d : {high_, full_}) {
    d->SetWord(8, vendor);
    d->SetByte(14, index);
  }
}

void CUsbDescriptorSet::SetDeviceClass(std::uint32_t speed, std::uint8_t cls, std::uint8_t subclass,
                                       std::uint8_t protocol, std::uint8_t max_packet0, std::uint32_t* status) {
  if (*status != 0) return;
  CUsbDeviceDescriptor* d = Device(speed);
  d->SetByte(4, cls);
  d->SetByte(5, subclass);
  d->SetByte(6, protocol);
  d->SetByte(7, max_packet0);
}

void CUsbDescriptorSet::AddConfiguration(std::uint32_t speed, std::uint8_t value, bool self_powered, bool remote_wakeup,
                                         std::uint8_t max_power, const char* text, std::uint32_t* status) {
  if (*status != 0) return;
  const std::uint8_t index = strings_->AddString(kLanguage, text, status);
  if (*status != 0) return;
  auto* c =
      new (std::nothrow) CUsbConfigurationDescriptor(value, self_powered, remote_wakeup, max_power, index, status);
  if (c == nullptr || *status != 0) {
    delete c;
    strings_->RemoveString(index);
    if (*status == 0) *status = kStatusOutOfMemory;
    return;
  }
  Device(speed)->AddConfiguration(c, status);
  if (*status != 0) {
    delete c;
    strings_->RemoveString(index);
  }
}

void CUsbDescriptorSet::AddInterface(std::uint32_t speed, std::uint8_t configuration, std::uint8_t number,
                                     std::uint8_t alternate, std::uint8_t cls, std::uint8_t subclass,
                                     std::uint8_t protocol, const char* text, std::uint32_t* status) {
  if (*status != 0) return;
  CUsbConfigurationDescriptor* c = Device(speed)->FindConfiguration(configuration);
  if (c == nullptr) {
    *status = kUsbStatusDescriptorNotFound;
    return;
  }
  const std::uint8_t index = strings_->AddString(kLanguage, text, status);
  if (*status != 0) return;
  auto* i = new (std::nothrow) CUsbInterfaceDescriptor(number, alternate, cls, subclass, protocol, index, status);
  if (i == nullptr || *status != 0) {
    delete i;
    strings_->RemoveString(index);
    if (*status == 0) *status = kStatusOutOfMemory;
    return;
  }
  c->AddInterface(i, status);
  if (*status != 0) {
    delete i;
    strings_->RemoveString(index);
  }
}

void CUsbDescriptorSet::AddEndpoint(std::uint32_t speed, std::uint8_t configuration, std::uint8_t interface,
                                    std::uint8_t alternate, std::int32_t kind, std::uint8_t number,
                                    std::uint16_t max_packet, std::uint8_t interval, std::uint32_t* status) {
  if (*status != 0) return;
  CUsbConfigurationDescriptor* c = Device(speed)->FindConfiguration(configuration);
  CUsbInterfaceDescriptor* i = c == nullptr ? nullptr : c->FindInterface(interface, alternate);
  if (i == nullptr) {
    *status = kUsbStatusDescriptorNotFound;
    return;
  }
  auto* e = new (std::nothrow) CUsbEndpointDescriptor(kind, number, max_packet, interval, status);
  if (e == nullptr || *status != 0) {
    delete e;
    if (*status == 0) *status = kStatusOutOfMemory;
    return;
  }
  i->AddEndpoint(e, status);
  if (*status != 0) {
    delete e;
    return;
  }
  c->AddEndpointLength();
}

void CUsbDescriptorSet::RemoveInterface(std::uint8_t configuration, std::uint8_t number, std::uint8_t alternate) {
  for (CUsbDeviceDescriptor* d : {high_, full_}) {
    CUsbConfigurationDescriptor* c = d->FindConfiguration(configuration);
    if (c == nullptr) continue;
    const CUsbInterfaceDescriptor* i = c->FindInterface(number, alternate);
    if (i == nullptr) continue;
    strings_->RemoveString(i->StringIndex());
    c->RemoveInterface(number, alternate);
    if (c->interfaces().empty()) {
      strings_->RemoveString(c->StringIndex());
      d->RemoveConfiguration(configuration);
    }
  }
}

bool CUsbDescriptorSet::HasConfiguration(std::uint8_t value) const {
  return full_->FindConfiguration(value) != nullptr;
}

void CUsbDescriptorSet::ValidateConfigurations(std::uint32_t* status) const {
  if (*status != 0) return;
  for (const CUsbDeviceDescriptor* d : {high_, full_}) {
    for (const CUsbConfigurationDescriptor* c : d->configurations()) {
      if (!c->ValidNumbering()) {
        *status = kUsbStatusDescriptorNotFound;
        return;
      }
    }
  }
}

std::uint32_t CUsbDescriptorSet::GetMaxDescriptorLength() const {
  std::uint32_t n = std::max<std::uint32_t>(18, strings_->MaxLength());
  for (const CUsbDeviceDescriptor* d : {high_, full_})
    for (const CUsbConfigurationDescriptor* c : d->configurations()) n = std::max<std::uint32_t>(n, c->TotalLength());
  return n;
}

void CUsbDescriptorSet::WriteDeviceDescriptor(std::uint32_t speed, CDataBuffer* buffer, std::uint32_t* length,
                                              std::uint32_t* status) {
  *length = 0;
  if (*status != 0) return;
  buffer->cursor = buffer->WindowStart();
  Device(speed)->Serialize(buffer);
  *length = buffer->cursor - buffer->WindowStart();
}

void CUsbDescriptorSet::WriteConfiguration(std::uint32_t speed, std::uint32_t index, CDataBuffer* buffer,
                                           std::uint32_t* length, std::uint32_t* status) {
  *length = 0;
  if (*status != 0) return;
  CUsbConfigurationDescriptor* c = Device(speed)->ConfigurationAt(index);
  if (c == nullptr) {
    *status = kUsbStatusDescriptorNotFound;
    return;
  }
  buffer->cursor = buffer->WindowStart();
  c->Serialize(buffer);
  *length = buffer->cursor - buffer->WindowStart();
}

void CUsbDescriptorSet::WriteString(std::uint8_t index, std::uint16_t language, CDataBuffer* buffer,
                                    std::uint32_t* length, std::uint32_t* status) {
  *length = 0;
  if (*status != 0) return;
  const CUsbDescriptor* d = nullptr;
  if (index == 0) {
    d = strings_->languages();
  } else {
    d = strings_->Find(index, language);
  }
  if (d == nullptr) {
    *status = kUsbStatusDescriptorNotFound;
    return;
  }
  buffer->cursor = buffer->WindowStart();
  d->Serialize(buffer);
  *length = buffer->cursor - buffer->WindowStart();
}

std::uint8_t CUsbDescriptorSet::GetDeviceStatus(std::uint32_t speed, std::uint8_t configuration) const {
  const CUsbDeviceDescriptor* d = Device(speed);
  const CUsbConfigurationDescriptor* c = configuration != 0 ? d->FindConfiguration(configuration) : nullptr;
  if (c == nullptr) c = d->ConfigurationAt(0);
  if (c == nullptr) return 0;
  // Remote wake-up is reported only while the host has enabled it, which this device never lets it
  // do (SET_FEATURE(DEVICE_REMOTE_WAKEUP) is refused); the bit then stays 0.
  return (c->Attributes() & 0x40) != 0 ? 0x01 : 0x00;
}
