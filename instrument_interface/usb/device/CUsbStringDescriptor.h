// A string descriptor of one index and language, its text in UTF-16LE, cut to what fits in bLength.
#pragma once

#include <cstdint>

#include "usb/device/CUsbDescriptor.h"

class CUsbStringDescriptor : public CUsbDescriptor {
 public:
  CUsbStringDescriptor(const char* text, std::uint8_t index, std::uint16_t language, std::uint32_t* status);
  std::uint8_t Index() const { return index_; }
  std::uint16_t Language() const { return language_; }

 private:
  std::uint8_t index_;
  std::uint16_t language_;
};
