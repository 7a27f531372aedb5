#include "usb/device/CUsbLanguageIdDescriptor.h"

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
    *status = kStatusOutOfMemory;
    return;
  }
  SetWord(Length(), language);
  SetByte(0, static_cast<std::uint8_t>(Length() + 2));
}
