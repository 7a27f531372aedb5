#include "usb/device/CUsbConfigurationDescriptor.h"

#include "usb/device/UsbInsertOrdered.h"

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
  if (!UsbInsertOrdered(interfaces_, interface, after)) {
    *status = kStatusOutOfMemory;
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
