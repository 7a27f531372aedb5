// The string descriptors of the device with the language-ID descriptor (it owns them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "usb/device/CUsbLanguageIdDescriptor.h"
#include "usb/device/CUsbStringDescriptor.h"

class CUsbStringDescriptorManager {
 public:
  explicit CUsbStringDescriptorManager(std::uint32_t* status);
  virtual ~CUsbStringDescriptorManager();
  CUsbStringDescriptorManager(const CUsbStringDescriptorManager&) = delete;
  CUsbStringDescriptorManager& operator=(const CUsbStringDescriptorManager&) = delete;

  // 0 without adding anything for an absent or empty text; else the index of the new string, the
  // lowest one that is free (so indexes are reused after RemoveString).
  std::uint8_t AddString(std::uint16_t language, const char* text, std::uint32_t* status);
  void RemoveString(std::uint8_t index);
  const CUsbStringDescriptor* Find(std::uint8_t index, std::uint16_t language) const;
  const CUsbLanguageIdDescriptor* languages() const { return languages_; }
  std::size_t Count() const { return strings_.size(); }
  std::uint8_t MaxLength() const;

 private:
  CUsbLanguageIdDescriptor* languages_ = nullptr;
  std::vector<CUsbStringDescriptor*> strings_;  // ordered by (index, language)
};
