#include "usb/CUsbDescriptors.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// Inserts `item` into `list` after every element that does not sort after it.
template <typename T, typename After>
bool InsertOrdered(std::vector<T*>& list, T* item, After after) {
  auto it = list.begin();
  while (it != list.end() && !after(*it)) ++it;
  try {
    list.insert(it, item);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// Strings are limited to what fits in bLength: (255 - 2) / 2 characters.
constexpr std::size_t kMaxStringChars = 126;

}  // namespace

// --- descriptor base ---------------------------------------------------------------------------------

CUsbDescriptor::CUsbDescriptor(std::uint8_t size, std::uint8_t type, std::uint32_t* status) {
  if (*status != 0) return;
  bytes_ = new (std::nothrow) std::uint8_t[size == 0 ? 1 : size]();
  if (bytes_ == nullptr) {
    *status = kUsbStatusNoMemory;
    return;
  }
  size_ = size;
  if (size >= 2) {
    bytes_[0] = size;
    bytes_[1] = type;
  }
}

CUsbDescriptor::~CUsbDescriptor() { delete[] bytes_; }

bool CUsbDescriptor::Serialize(CDataBuffer* buffer) const {
  std::uint8_t* data = buffer->Data();
  const std::uint32_t end = buffer->WindowEnd();
  for (std::uint32_t i = 0; i < Length(); ++i) {
    if (data == nullptr || buffer->cursor >= end) return false;
    data[buffer->cursor++] = bytes_[i];
  }
  return buffer->cursor < end;
}

// --- endpoint, interface, configuration, device ------------------------------------------------------

CUsbEndpointDescriptor::CUsbEndpointDescriptor(std::int32_t kind, std::uint8_t number, std::uint16_t max_packet,
                                               std::uint8_t interval, std::uint32_t* status)
    : CUsbDescriptor(7, 5, status) {
  if (*status != 0) return;
  const bool in = kind == kUsbKindBulkIn || kind == kUsbKindInterruptIn;
  SetByte(2, static_cast<std::uint8_t>((number & 0x0F) | (in ? 0x80 : 0)));
  std::uint8_t attributes = 0;
  if (kind == kUsbKindBulkIn || kind == kUsbKindBulkOut) attributes = 2;
  if (kind == kUsbKindInterruptIn) attributes = 3;
  SetByte(3, attributes);
  SetWord(4, max_packet);
  SetByte(6, interval);
}

CUsbInterfaceDescriptor::CUsbInterfaceDescriptor(std::uint8_t number, std::uint8_t alternate, std::uint8_t cls,
                                                 std::uint8_t subclass, std::uint8_t protocol,
                                                 std::uint8_t string_index, std::uint32_t* status)
    : CUsbDescriptor(9, 4, status) {
  if (*status != 0) return;
  SetByte(2, number);
  SetByte(3, alternate);
  SetByte(4, 0);
  SetByte(5, cls);
  SetByte(6, subclass);
  SetByte(7, protocol);
  SetByte(8, string_index);
}

CUsbInterfaceDescriptor::~CUsbInterfaceDescriptor() {
  for (CUsbEndpointDescriptor* e : endpoints_) delete e;
}

void CUsbInterfaceDescriptor::AddEndpoint(CUsbEndpointDescriptor* endpoint, std::uint32_t* status) {
  if (*status != 0) return;
  if (!InsertOrdered(endpoints_, endpoint,
                     [endpoint](const CUsbEndpointDescriptor* e) { return e->Number() > endpoint->Number(); })) {
    *status = kUsbStatusNoMemory;
    return;
  }
  SetByte(4, static_cast<std::uint8_t>(endpoints_.size()));
}

CUsbConfigurationDescriptor::CUsbConfigurationDescriptor(std::uint8_t value, bool self_powered, bool remote_wakeup,
                                                         std::uint8_t max_power, std::uint8_t string_index,
                                                         std::uint32_t* status)
    : CUsbDescriptor(9, 2, status) {
  if (*status != 0) return;
  SetWord(2, 9);
  SetByte(4, 0);
  SetByte(5, value);
  SetByte(6, string_index);
  SetByte(7, static_cast<std::uint8_t>(0x80 | (self_powered ? 0x40 : 0) | (remote_wakeup ? 0x20 : 0)));
  SetByte(8, max_power);
}

CUsbConfigurationDescriptor::~CUsbConfigurationDescriptor() {
  for (CUsbInterfaceDescriptor* i : interfaces_) delete i;
}

void CUsbConfigurationDescriptor::Recount() {
  std::uint32_t total = 9;
  std::uint32_t numbers = 0;
  for (std::size_t k = 0; k < interfaces_.size(); ++k) {
    total += 9 + 7 * static_cast<std::uint32_t>(interfaces_[k]->endpoints().size());
    bool seen = false;
    for (std::size_t j = 0; j < k; ++j) seen = seen || interfaces_[j]->Number() == interfaces_[k]->Number();
    if (!seen) ++numbers;
  }
  SetWord(2, static_cast<std::uint16_t>(total));
  SetByte(4, static_cast<std::uint8_t>(numbers));
}

void CUsbConfigurationDescriptor::AddInterface(CUsbInterfaceDescriptor* interface, std::uint32_t* status) {
  if (*status != 0) return;
  auto after = [interface](const CUsbInterfaceDescriptor* i) {
    if (i->Number() != interface->Number()) return i->Number() > interface->Number();
    return i->Alternate() > interface->Alternate();
  };
  if (!InsertOrdered(interfaces_, interface, after)) {
    *status = kUsbStatusNoMemory;
    return;
  }
  Recount();
}

void CUsbConfigurationDescriptor::AddEndpointLength() { Recount(); }

CUsbInterfaceDescriptor* CUsbConfigurationDescriptor::FindInterface(std::uint8_t number, std::uint8_t alternate) const {
  for (CUsbInterfaceDescriptor* i : interfaces_)
    if (i->Number() == number && i->Alternate() == alternate) return i;
  return nullptr;
}

bool CUsbConfigurationDescriptor::RemoveInterface(std::uint8_t number, std::uint8_t alternate) {
  for (auto it = interfaces_.begin(); it != interfaces_.end(); ++it) {
    if ((*it)->Number() == number && (*it)->Alternate() == alternate) {
      delete *it;
      interfaces_.erase(it);
      Recount();
      return true;
    }
  }
  return false;
}

bool CUsbConfigurationDescriptor::Serialize(CDataBuffer* buffer) {
  SetByte(1, 2);
  if (!CUsbDescriptor::Serialize(buffer)) return false;
  for (const CUsbInterfaceDescriptor* i : interfaces_) {
    if (!i->CUsbDescriptor::Serialize(buffer)) return false;
    for (const CUsbEndpointDescriptor* e : i->endpoints())
      if (!e->Serialize(buffer)) return false;
  }
  return true;
}

bool CUsbConfigurationDescriptor::ValidNumbering() const {
  for (std::size_t k = 0; k < interfaces_.size(); ++k) {
    const CUsbInterfaceDescriptor* i = interfaces_[k];
    if (k == 0) {
      if (i->Number() != 0 || i->Alternate() != 0) return false;
      continue;
    }
    const CUsbInterfaceDescriptor* p = interfaces_[k - 1];
    const bool next_alternate = i->Number() == p->Number() && i->Alternate() == p->Alternate() + 1;
    const bool next_interface = i->Number() == p->Number() + 1 && i->Alternate() == 0;
    if (!next_alternate && !next_interface) return false;
  }
  return true;
}

CUsbDeviceDescriptor::CUsbDeviceDescriptor(std::uint32_t* status) : CUsbDescriptor(18, 1, status) {
  if (*status != 0) return;
  SetWord(2, 0x0200);
}

CUsbDeviceDescriptor::~CUsbDeviceDescriptor() {
  for (CUsbConfigurationDescriptor* c : configurations_) delete c;
}

void CUsbDeviceDescriptor::AddConfiguration(CUsbConfigurationDescriptor* configuration, std::uint32_t* status) {
  if (*status != 0) return;
  if (!InsertOrdered(configurations_, configuration, [configuration](const CUsbConfigurationDescriptor* c) {
        return c->Value() > configuration->Value();
      })) {
    *status = kUsbStatusNoMemory;
    return;
  }
  SetByte(17, static_cast<std::uint8_t>(configurations_.size()));
}

CUsbConfigurationDescriptor* CUsbDeviceDescriptor::FindConfiguration(std::uint8_t value) const {
  for (CUsbConfigurationDescriptor* c : configurations_)
    if (c->Value() == value) return c;
  return nullptr;
}

bool CUsbDeviceDescriptor::RemoveConfiguration(std::uint8_t value) {
  for (auto it = configurations_.begin(); it != configurations_.end(); ++it) {
    if ((*it)->Value() == value) {
      delete *it;
      configurations_.erase(it);
      SetByte(17, static_cast<std::uint8_t>(configurations_.size()));
      return true;
    }
  }
  return false;
}

CUsbDeviceQualifierDescriptor::CUsbDeviceQualifierDescriptor(std::uint32_t* status) : CUsbDescriptor(10, 6, status) {
  if (*status != 0) return;
  SetWord(2, 0x0200);
}

// --- strings -----------------------------------------------------------------------------------------

CUsbStringDescriptor::CUsbStringDescriptor(const char* text, std::uint8_t index, std::uint16_t language,
                                           std::uint32_t* status)
    : CUsbDescriptor(static_cast<std::uint8_t>(2 + 2 * std::min(std::strlen(text), kMaxStringChars)), 3, status),
      index_(index),
      language_(language) {
  if (*status != 0) return;
  const std::size_t n = std::min(std::strlen(text), kMaxStringChars);
  for (std::size_t i = 0; i < n; ++i) {
    SetByte(static_cast<std::uint32_t>(2 + 2 * i), static_cast<std::uint8_t>(text[i]));
    SetByte(static_cast<std::uint32_t>(3 + 2 * i), 0);
  }
}

CUsbLanguageIdDescriptor::CUsbLanguageIdDescriptor(std::uint32_t* status)
    : CUsbDescriptor(2 + 2 * kCapacity, 3, status) {
  if (*status != 0) return;
  SetByte(0, 2);
}

bool CUsbLanguageIdDescriptor::Has(std::uint16_t language) const {
  for (std::uint32_t at = 2; at + 1 < Length(); at += 2)
    if (Word(at) == language) return true;
  return false;
}

void CUsbLanguageIdDescriptor::Add(std::uint16_t language, std::uint32_t* status) {
  if (*status != 0 || Has(language)) return;
  if (Length() + 2u > size_) {
    *status = kUsbStatusNoMemory;
    return;
  }
  SetWord(Length(), language);
  SetByte(0, static_cast<std::uint8_t>(Length() + 2));
}

CUsbStringDescriptorManager::CUsbStringDescriptorManager(std::uint32_t* status) {
  if (*status != 0) return;
  languages_ = new (std::nothrow) CUsbLanguageIdDescriptor(status);
  if (languages_ == nullptr) *status = kUsbStatusNoMemory;
}

CUsbStringDescriptorManager::~CUsbStringDescriptorManager() {
  for (CUsbStringDescriptor* s : strings_) delete s;
  delete languages_;
}

std::uint8_t CUsbStringDescriptorManager::AddString(std::uint16_t language, const char* text, std::uint32_t* status) {
  if (*status != 0 || text == nullptr || text[0] == '\0') return 0;
  languages_->Add(language, status);
  if (*status != 0) return 0;
  // The lowest index not in use.
  std::uint32_t index = 1;
  for (const CUsbStringDescriptor* s : strings_) {
    if (s->Index() == index) ++index;
  }
  if (index > 0xFF) {
    *status = kUsbStatusNoMemory;
    return 0;
  }
  auto* s = new (std::nothrow) CUsbStringDescriptor(text, static_cast<std::uint8_t>(index), language, status);
  if (s == nullptr || *status != 0) {
    delete s;
    if (*status == 0) *status = kUsbStatusNoMemory;
    return 0;
  }
  if (!InsertOrdered(strings_, s, [s](const CUsbStringDescriptor* e) {
        if (e->Index() != s->Index()) return e->Index() > s->Index();
        return e->Language() > s->Language();
      })) {
    delete s;
    *status = kUsbStatusNoMemory;
    return 0;
  }
  return static_cast<std::uint8_t>(index);
}

void CUsbStringDescriptorManager::RemoveString(std::uint8_t index) {
  if (index == 0) return;
  for (auto it = strings_.begin(); it != strings_.end();) {
    if ((*it)->Index() == index) {
      delete *it;
      it = strings_.erase(it);
    } else {
      ++it;
    }
  }
}

const CUsbStringDescriptor* CUsbStringDescriptorManager::Find(std::uint8_t index, std::uint16_t language) const {
  for (const CUsbStringDescriptor* s : strings_)
    if (s->Index() == index && s->Language() == language) return s;
  return nullptr;
}

std::uint8_t CUsbStringDescriptorManager::MaxLength() const {
  std::uint8_t n = languages_->Length();
  for (const CUsbStringDescriptor* s : strings_) n = std::max(n, s->Length());
  return n;
}

// --- set ---------------------------------------------------------------------------------------------

CUsbDescriptorSet::CUsbDescriptorSet(std::uint32_t* status) {
  if (*status != 0) return;
  high_ = new (std::nothrow) CUsbDeviceDescriptor(status);
  full_ = new (std::nothrow) CUsbDeviceDescriptor(status);
  qualifier_ = new (std::nothrow) CUsbDeviceQualifierDescriptor(status);
  strings_ = new (std::nothrow) CUsbStringDescriptorManager(status);
  if (*status == 0 && (high_ == nullptr || full_ == nullptr || qualifier_ == nullptr || strings_ == nullptr))
    *status = kUsbStatusNoMemory;
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
    if (*status == 0) *status = kUsbStatusNoMemory;
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
    if (*status == 0) *status = kUsbStatusNoMemory;
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
    if (*status == 0) *status = kUsbStatusNoMemory;
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
