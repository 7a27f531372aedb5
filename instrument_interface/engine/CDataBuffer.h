// A byte buffer of the instrument-interface layer that owns a block of a fixed size or borrows the
// caller's storage, with a window [start, end) marking the bytes of the current chunk.
//
// Every reader of the bytes goes through the segment record {data, length}, which always describes the
// storage in use ({null, 0} when nothing is attached). Not locked: its owner serialises its use.
#pragma once

#include <cstdint>

class CDataBuffer {
 public:
  struct Segment {
    std::uint8_t* data;
    std::uint32_t length;
  };

  // Owns an N-byte block; the failed flag stays set when an allocation fails.
  explicit CDataBuffer(std::int32_t size);
  // Holds no storage until Attach.
  CDataBuffer();
  ~CDataBuffer();
  CDataBuffer(const CDataBuffer&) = delete;
  CDataBuffer& operator=(const CDataBuffer&) = delete;

  bool IsFailed() const { return failed_ != 0; }
  void Attach(void* data, std::uint32_t length, std::uint32_t* status);
  void Detach();

  // Searches [offset, offset + count) of the stored bytes, clipped to the storage, for `byte`: true
  // and its position relative to `offset` when found.
  bool FindByte(std::uint8_t byte, std::uint32_t offset, std::uint32_t count, std::uint32_t* position) const;

  std::uint8_t* Data() const { return segment_ == nullptr ? nullptr : segment_->data; }
  std::uint32_t Length() const { return segment_ == nullptr ? 0 : segment_->length; }
  std::int32_t Size() const { return size_; }
  bool IsBorrowed() const { return borrowed_ != 0; }
  bool IsOwning() const { return block_ != nullptr; }

  // The window of the current chunk. SetWindow clips both ends to the storage.
  std::uint32_t WindowStart() const { return window_start_; }
  std::uint32_t WindowEnd() const { return window_end_; }
  void SetWindow(std::uint32_t start, std::uint32_t end);

  // Walk of a chain of buffers (USB FIFO code).
  std::uint32_t cursor = 0;
  CDataBuffer* next = nullptr;

 private:
  std::uint8_t failed_ = 1;
  std::int32_t size_ = 0;
  std::uint8_t* block_ = nullptr;
  std::uint8_t borrowed_ = 0;
  Segment* segment_ = nullptr;
  std::uint32_t window_start_ = 0;
  std::uint32_t window_end_ = 0;
};
