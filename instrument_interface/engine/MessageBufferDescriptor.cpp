#include "engine/MessageBufferDescriptor.h"

#include <cstdlib>

#include "engine/DoVovuriStatus.h"

void MessageBufferDescriptor::Init(MessageBufferDescriptor* descriptor, std::uint32_t size, void* storage) {
  *descriptor = MessageBufferDescriptor{0, kStatusNotReported, nullptr, 0, 0, nullptr};
  if (size == 0 || (size != 1 && size % 4 != 0)) {
    descriptor->status = kStatusBufferSizeInvalid;
    return;
  }
  if (storage != nullptr) {
    if ((reinterpret_cast<std::uintptr_t>(storage) & 3u) != 0) {
      descriptor->status = kStatusBufferNotAligned;
      return;
    }
    descriptor->data = static_cast<std::uint8_t*>(storage);
  } else {
    void* block = std::malloc(size);
    if (block != nullptr && (reinterpret_cast<std::uintptr_t>(block) & 3u) != 0) {
      std::free(block);
      block = std::malloc(size + 4);
      if (block != nullptr) {
        descriptor->data =
            reinterpret_cast<std::uint8_t*>((reinterpret_cast<std::uintptr_t>(block) & ~std::uintptr_t{3}) + 4);
      }
    } else {
      descriptor->data = static_cast<std::uint8_t*>(block);
    }
    if (block == nullptr) {
      descriptor->status = kStatusOutOfMemory;
      return;
    }
    descriptor->raw = block;
  }
  descriptor->capacity = size;
  descriptor->owned = 1;
  descriptor->status = kStatusSuccess;
}

void MessageBufferDescriptor::Release(MessageBufferDescriptor* descriptor) {
  std::free(descriptor->raw);
  descriptor->raw = nullptr;
  descriptor->data = nullptr;
  descriptor->owned = 0;
}
