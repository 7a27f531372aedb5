// Big-endian readers of the peripheral records, and a cursor that never reads beyond the bytes it was
// given. Used by the record decoders of the peripheral objects (any thread; no state).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace Torvex {

inline std::uint16_t ReadU16BE(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

inline std::uint32_t ReadU32BE(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

inline double ReadDoubleBE(const std::uint8_t* p) {
  std::uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits = (bits << 8) | p[i];
  return std::bit_cast<double>(bits);
}

inline float ReadFloatBE(const std::uint8_t* p) { return std::bit_cast<float>(ReadU32BE(p)); }

// Reads fields in order from [bytes, bytes + size); a field that does not fit marks the cursor failed
// and yields 0 without reading.
class ByteCursor {
 public:
  ByteCursor(const std::uint8_t* bytes, std::size_t size) : m_Bytes(bytes), m_Size(bytes != nullptr ? size : 0) {}

  bool Has(std::size_t n) const { return m_Ok && m_Size - m_Position >= n; }
  const std::uint8_t* Take(std::size_t n) {
    if (!Has(n)) {
      m_Ok = false;
      return nullptr;
    }
    const std::uint8_t* p = m_Bytes + m_Position;
    m_Position += n;
    return p;
  }
  std::uint8_t U8() {
    const std::uint8_t* p = Take(1);
    return p != nullptr ? p[0] : 0;
  }
  std::uint16_t U16() {
    const std::uint8_t* p = Take(2);
    return p != nullptr ? ReadU16BE(p) : 0;
  }
  double Double() {
    const std::uint8_t* p = Take(8);
    return p != nullptr ? ReadDoubleBE(p) : 0.0;
  }
  bool Ok() const { return m_Ok; }
  std::size_t Position() const { return m_Position; }

 private:
  const std::uint8_t* m_Bytes;
  std::size_t m_Size;
  std::size_t m_Position = 0;
  bool m_Ok = true;
};

}  // namespace Torvex
