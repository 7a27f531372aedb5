#include "engine/CMessageBuffer.h"

#include <cstring>
#include <new>

#include "engine/DoVovuriStatus.h"

CMessageBuffer::CMessageBuffer(std::int32_t kind) : kind_(kind) {
  borrowing_ = new (std::nothrow) CDataBuffer();
  if (borrowing_ != nullptr && !borrowing_->IsFailed()) failed_ = 0;
}

CMessageBuffer::~CMessageBuffer() {
  delete internal_;
  delete borrowing_;
}

void CMessageBuffer::CreateInternal(std::uint32_t size, std::uint32_t* status) {
  CDataBuffer* buffer = size > 0x7FFFFFFFu ? nullptr : new (std::nothrow) CDataBuffer(static_cast<std::int32_t>(size));
  if (buffer == nullptr || buffer->IsFailed()) {
    delete buffer;
    *status = kStatusOutOfMemory;
    return;
  }
  delete internal_;
  internal_ = buffer;
  internal_size_ = size;
  *status = kStatusSuccess;
}

void CMessageBuffer::Bind(void* application_buffer, std::uint32_t length, bool end, std::uint32_t* status) {
  if (application_buffer == nullptr && length != 0) {
    *status = kStatusBufferInvalid;
    return;
  }
  if (length > internal_size_ || internal_ == nullptr) {
    std::uint32_t attach_status = kStatusNotReported;
    borrowing_->Attach(application_buffer, length, &attach_status);
    if (attach_status != kStatusSuccess) {
      *status = attach_status;
      return;
    }
    current_ = borrowing_;
  } else {
    current_ = internal_;
    if (kind_ == kOutput) {
      if (length != 0) std::memcpy(internal_->Data(), application_buffer, length);
      internal_->SetWindow(0, length);
    }
  }
  application_ = application_buffer;
  end_ = end ? 1 : 0;
  length_ = length;
  count_ = 0;
  *status = kStatusSuccess;
}

void CMessageBuffer::AddCount(std::uint32_t moved) {
  const std::uint32_t room = length_ - count_;
  count_ += moved > room ? room : moved;
}

void CMessageBuffer::Unbind(bool copy) {
  if (current_ == borrowing_ && current_ != nullptr) {
    borrowing_->Detach();
  } else if (current_ == internal_ && current_ != nullptr && copy && kind_ == kInput && count_ != 0) {
    // The count is the transport's word: never copy more than the internal buffer holds or the
    // application has room for.
    std::uint32_t n = count_ > length_ ? length_ : count_;
    if (n > internal_size_) n = internal_size_;
    internal_->SetWindow(0, n);
    if (application_ != nullptr) std::memcpy(application_, internal_->Data(), n);
  }
  current_ = nullptr;
  application_ = nullptr;
  end_ = 0;
  length_ = 0;
  count_ = 0;
}

void CMessageBuffer::Complete() { Unbind(true); }

void CMessageBuffer::Cancel() { Unbind(false); }
