#include "usb/device/CUsbDescriptor.h"

#include <new>

CUsbDescriptor::CUsbDescriptor(std::uint8_t size, std::uint8_t type, std::uint32_t* status) {
  if (*status != 0) return;
  bytes_ = new (std::nothrow) std::uint8_t[size == 0 ? 1 : size]();
  if (bytes_ == nullptr) {
    *status = kStatusOutOfMemory;
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
