// The identity EEPROM model (see sim/eeprom.h).
#include "sim/eeprom.h"

namespace sim {

void Eeprom::Load(std::size_t offset, std::span<const std::uint8_t> bytes) {
  std::lock_guard<std::mutex> g(lock_);
  for (std::size_t k = 0; k < bytes.size() && offset + k < kSize; ++k) memory_[offset + k] = bytes[k];
}

std::array<std::uint8_t, Eeprom::kSize> Eeprom::Contents() {
  std::lock_guard<std::mutex> g(lock_);
  return memory_;
}

bool Eeprom::Start(bool read, std::uint32_t) {
  std::lock_guard<std::mutex> g(lock_);
  expect_address_ = !read;
  return true;
}

bool Eeprom::Write(std::uint8_t byte) {
  std::lock_guard<std::mutex> g(lock_);
  if (expect_address_) {
    pointer_ = byte;
    expect_address_ = false;
  }
  return true;
}

std::uint8_t Eeprom::Read(bool) {
  std::lock_guard<std::mutex> g(lock_);
  return memory_[pointer_++];  // an 8-bit pointer wraps from 255 to 0
}

void Eeprom::Stop() {
  std::lock_guard<std::mutex> g(lock_);
  expect_address_ = false;
}

}  // namespace sim
