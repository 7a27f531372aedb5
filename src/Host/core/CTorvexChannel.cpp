#include "core/CTorvexChannel.h"

#include <algorithm>
#include <stdexcept>

namespace Torvex {

CTorvexChannel::CTorvexChannel(const CTorvexChannel& other) { *this = other; }

CTorvexChannel& CTorvexChannel::operator=(const CTorvexChannel& other) {
  // A length byte above five (a corrupted or foreign value) never makes a copy read past the levels.
  const std::uint8_t n = std::min<std::uint8_t>(other.length, kMaxLevels);
  std::copy_n(other.level, n, level);
  length = n;
  return *this;
}

std::uint8_t CTorvexChannel::Level(std::uint8_t i) const {
  if (i >= length || i >= kMaxLevels) throw std::out_of_range("Access to a CTorvexChannel out of bounds");
  return level[i];
}

bool CTorvexChannel::AppendLevel(std::uint8_t value) {
  if (length >= kMaxLevels) return false;
  level[length++] = value;
  return true;
}

bool CTorvexChannel::operator==(const CTorvexChannel& other) const {
  const std::uint8_t n = std::min<std::uint8_t>(length, kMaxLevels);
  if (n != std::min<std::uint8_t>(other.length, kMaxLevels)) return false;
  return std::equal(level, level + n, other.level);
}

}  // namespace Torvex
