// MessageBufferDescriptor: the application's handle on one message buffer, posted for input or queued
// as a response through C4882Device. Init and Release are called by the application on its own
// descriptors; the engine reads and fills it while it is posted or queued.
#pragma once

#include <cstdint>

struct MessageBufferDescriptor {
  std::uint8_t owned;      // 1 when valid (a buffer is attached)
  std::uint32_t status;    // internal status of the Init (0 when valid)
  std::uint8_t* data;      // 4-byte aligned
  std::uint32_t capacity;  // input: room; response: bytes available
  std::uint32_t count;     // response: bytes to send; on hand-back: bytes received or sent
  void* raw;               // the block Init allocated, or null

  // size: 1 or a non-zero multiple of 4 (else kStatusBufferSizeInvalid). storage: caller's, 4-byte
  // aligned (else kStatusBufferNotAligned), or null to allocate.
  static void Init(MessageBufferDescriptor* descriptor, std::uint32_t size, void* storage);
  static void Release(MessageBufferDescriptor* descriptor);
};
