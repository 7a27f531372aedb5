#include "engine/CDataBuffer.h"

#include <new>

#include "engine/DoVovuriStatus.h"

CDataBuffer::CDataBuffer(std::int32_t size) {
  if (size < 0) return;
  block_ = new (std::nothrow) std::uint8_t[size == 0 ? 1 : size]();
  if (block_ == nullptr) return;
  segment_ = new (std::nothrow) Segment{block_, static_cast<std::uint32_t>(size)};
  if (segment_ == nullptr) return;
  window_start_ = 0;
  window_end_ = static_cast<std::uint32_t>(size);
  size_ = size;
  failed_ = 0;
}

CDataBuffer::CDataBuffer() {
  segment_ = new (std::nothrow) Segment{nullptr, 0};
  if (segment_ != nullptr) failed_ = 0;
}

CDataBuffer::~CDataBuffer() {
  delete segment_;
  delete[] block_;
}

void CDataBuffer::Attach(void* data, std::uint32_t length, std::uint32_t* status) {
  if (segment_ == nullptr) {
    *status = kStatusOutOfMemory;
    return;
  }
  *segment_ = {static_cast<std::uint8_t*>(data), data == nullptr ? 0 : length};
  borrowed_ = 1;
  size_ = static_cast<std::int32_t>(segment_->length);
  window_start_ = 0;
  window_end_ = 0;
  cursor = 0;
  *status = kStatusSuccess;
}

void CDataBuffer::Detach() {
  if (segment_ != nullptr) *segment_ = {nullptr, 0};
  borrowed_ = 0;
  size_ = 0;
  window_start_ = 0;
  window_end_ = 0;
  cursor = 0;
}

bool CDataBuffer::FindByte(std::uint8_t byte, std::uint32_t offset, std::uint32_t count,
                           std::uint32_t* position) const {
  const std::uint32_t length = Length();
  if (offset >= length) return false;
  const std::uint32_t end = count > length - offset ? length : offset + count;
  const std::uint8_t* data = Data();
  for (std::uint32_t i = offset; i < end; ++i) {
    if (data[i] == byte) {
      *position = i - offset;
      return true;
    }
  }
  return false;
}

void CDataBuffer::SetWindow(std::uint32_t start, std::uint32_t end) {
  const std::uint32_t length = Length();
  window_end_ = end > length ? length : end;
  window_start_ = start > window_end_ ? window_end_ : start;
}
