#include "usb/device/CUsbStringDescriptorManager.h"

#include <new>

#include "usb/device/UsbInsertOrdered.h"

CUsbStringDescriptorManager::CUsbStringDescriptorManager(std::uint32_t* status) {
  if (*status != 0) return;
  languages_ = new (std::nothrow) CUsbLanguageIdDescriptor(status);
  if (languages_ == nullptr) *status = kStatusOutOfMemory;
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
    *status = kStatusOutOfMemory;
    return 0;
  }
  auto* s = new (std::nothrow) CUsbStringDescriptor(text, static_cast<std::uint8_t>(index), language, status);
  if (s == nullptr || *status != 0) {
    delete s;
    if (*status == 0) *status = kStatusOutOfMemory;
    return 0;
  }
  if (!UsbInsertOrdered(strings_, s, [s](const CUsbStringDescriptor* e) {
        if (e->Index() != s->Index()) return e->Index() > s->Index();
        return e->Language() > s->Language();
      })) {
    delete s;
    *status = kStatusOutOfMemory;
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
