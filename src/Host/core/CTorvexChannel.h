// CTorvexChannel: the address of a peripheral on the probe connector, and the element of SCPI channel
// lists. A plain value of up to five one-byte levels: level 0 is the instrument's own connector
// (always 1), each further level a multiplexer port or camera head number, counting from 1.
//
// Copies take the length clamped to five and copy only that many levels. Reading a level at or beyond
// the length throws std::out_of_range. No lock: a value owned by whoever holds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace Torvex {

class CTorvexChannel {
 public:
  static constexpr std::uint8_t kMaxLevels = 5;

  CTorvexChannel() = default;
  CTorvexChannel(const CTorvexChannel& other);
  CTorvexChannel& operator=(const CTorvexChannel& other);

  // Number of valid levels, at most kMaxLevels for any channel built by copying or appending.
  std::uint8_t Length() const { return length; }

  // Level i; throws std::out_of_range("Access to a CTorvexChannel out of bounds") when i >= length.
  std::uint8_t Level(std::uint8_t i) const;

  // Appends one level; false (channel unchanged) when it already holds kMaxLevels.
  bool AppendLevel(std::uint8_t value);

  bool operator==(const CTorvexChannel& other) const;

  std::uint8_t level[kMaxLevels] = {};
  std::uint8_t length = 0;
};

// The value is exactly its six bytes: the five level bytes, then the length byte, no padding.
static_assert(std::is_standard_layout_v<CTorvexChannel>);
static_assert(sizeof(CTorvexChannel) == 6);
static_assert(offsetof(CTorvexChannel, length) == CTorvexChannel::kMaxLevels);

}  // namespace Torvex
