// A standard USB descriptor kept in wire format (bLength bytes), so that answering a request is a
// copy. Errors: kStatusOutOfMemory for an allocation failure.
#pragma once

#include <cstdint>

#include "engine/CDataBuffer.h"
#include "usb/controller/UsbTypes.h"

class CUsbDescriptor {
 public:
  CUsbDescriptor(std::uint8_t size, std::uint8_t type, std::uint32_t* status);
  virtual ~CUsbDescriptor();
  CUsbDescriptor(const CUsbDescriptor&) = delete;
  CUsbDescriptor& operator=(const CUsbDescriptor&) = delete;

  std::uint8_t Byte(std::uint32_t offset) const { return offset < size_ ? bytes_[offset] : 0; }
  void SetByte(std::uint32_t offset, std::uint8_t value) {
    if (offset < size_) bytes_[offset] = value;
  }
  void SetWord(std::uint32_t offset, std::uint16_t value) {
    SetByte(offset, static_cast<std::uint8_t>(value & 0xFF));
    SetByte(offset + 1, static_cast<std::uint8_t>(value >> 8));
  }
  std::uint16_t Word(std::uint32_t offset) const {
    return static_cast<std::uint16_t>(Byte(offset) | (Byte(offset + 1) << 8));
  }
  std::uint8_t Length() const { return Byte(0); }
  // Copies bLength bytes at the buffer's cursor, never past its window end; false when it filled up.
  bool Serialize(CDataBuffer* buffer) const;

 protected:
  std::uint8_t* bytes_ = nullptr;
  std::uint8_t size_ = 0;
};
