#include "usb/device/CUsbStringDescriptor.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace {

// Strings are limited to what fits in bLength: (255 - 2) / 2 characters.
constexpr std::size_t kMaxStringChars = 126;

}  // namespace

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
