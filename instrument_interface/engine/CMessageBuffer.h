// The engine's record of one message in transit: an input (program message from the host) or an
// output (response to the host). It binds the application's buffer to the transfer, choosing whether
// the transport works in the internal buffer (the transport's own size; a message that fits) or
// directly in the application's buffer (a longer message, or a transport without an internal buffer),
// and counts the bytes moved.
//
// One input and one output buffer belong to each engine device; they have no lock of their own (the
// engine uses them under the device's mutex with the transport held back, the transport on its own
// threads while it is not held back).
#pragma once

#include <cstdint>

#include "engine/CDataBuffer.h"

class CMessageBuffer {
 public:
  static constexpr std::int32_t kInput = 1;
  static constexpr std::int32_t kOutput = 2;

  explicit CMessageBuffer(std::int32_t kind);
  ~CMessageBuffer();
  CMessageBuffer(const CMessageBuffer&) = delete;
  CMessageBuffer& operator=(const CMessageBuffer&) = delete;

  bool IsFailed() const { return failed_ != 0; }
  // Makes the internal buffer of `size` bytes; kStatusOutOfMemory when that fails.
  void CreateInternal(std::uint32_t size, std::uint32_t* status);
  // Binds the application's buffer of `length` bytes (input: room; output: bytes to send). An output
  // that fits the internal buffer is copied into it at once, with the window [0, length).
  void Bind(void* application_buffer, std::uint32_t length, bool end, std::uint32_t* status);
  // Finishes the message: an input received into the internal buffer reaches the application here, in
  // one copy of count bytes (never more than the application's room). Unbinds.
  void Complete();
  // As Complete, without the copy.
  void Cancel();

  std::int32_t Kind() const { return kind_; }
  bool IsBound() const { return current_ != nullptr; }
  CDataBuffer* Current() const { return current_; }
  CDataBuffer* Internal() const { return internal_; }
  std::uint32_t InternalSize() const { return internal_size_; }
  void* ApplicationBuffer() const { return application_; }
  bool End() const { return end_ != 0; }
  void SetEnd(bool end) { end_ = end ? 1 : 0; }
  std::uint32_t Length() const { return length_; }
  std::uint32_t Count() const { return count_; }
  // Bytes moved by the transport; the count never passes the length, whatever the transport reports.
  void AddCount(std::uint32_t moved);
  void SetCount(std::uint32_t count) { count_ = count > length_ ? length_ : count; }

 private:
  void Unbind(bool copy);

  std::uint8_t failed_ = 1;
  std::int32_t kind_;
  CDataBuffer* current_ = nullptr;
  CDataBuffer* internal_ = nullptr;
  std::uint32_t internal_size_ = 0;
  CDataBuffer* borrowing_ = nullptr;
  void* application_ = nullptr;
  std::uint8_t end_ = 0;
  std::uint32_t length_ = 0;
  std::uint32_t count_ = 0;
};
