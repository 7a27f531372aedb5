// COFF images for tests: a small writer of C6000 COFF object files (22-byte file header, 28-byte
// optional header, 48-byte section headers, little-endian) with the knobs the loader tests need to
// make good and broken files: target id, optional-header magic, per-section virtual address, size and
// data offset, names longer than 8 characters (written to the string table), a symbol-table offset.
//
// Layout of a built image: file header, optional header, section headers, every section's data in
// order, then the string table (its 4-byte length first); the symbol table is empty and its offset is
// where the string table begins.
#pragma once

#include <cstdint>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace torvex_test {

inline constexpr std::uint32_t kCoffCopy = 0x10;
inline constexpr std::uint32_t kCoffText = 0x20;
inline constexpr std::uint32_t kCoffData = 0x40;
inline constexpr std::uint32_t kCoffBss = 0x80;

struct CoffSection {
  std::string name;
  std::uint32_t address = 0;
  std::uint32_t flags = kCoffText;
  std::vector<std::uint8_t> data;                // written to the file; its length is the size unless `size` is set
  std::optional<std::uint32_t> size;             // the header's size, when it differs from data.size()
  std::optional<std::uint32_t> virtual_address;  // the physical address unless set
  std::optional<std::uint32_t> data_offset;      // where the data is written unless set
  std::optional<std::uint32_t> name_offset;      // a long name's string-table offset, when forced
};

struct CoffImage {
  std::uint16_t target_id = 0x99;
  std::uint16_t magic = 0x108;
  std::optional<std::uint16_t> section_count;  // the header's count, when it differs
  std::optional<std::uint32_t> symbol_table_offset;
  std::uint32_t symbol_count = 0;
  std::vector<CoffSection> sections;

  std::vector<std::uint8_t> Build() const {
    std::vector<std::uint8_t> out;
    auto u16 = [&out](std::uint32_t v) {
      out.push_back(static_cast<std::uint8_t>(v));
      out.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    auto u32 = [&u16](std::uint32_t v) {
      u16(v & 0xFFFF);
      u16(v >> 16);
    };

    const std::uint32_t headers = 22 + 28 + 48 * static_cast<std::uint32_t>(sections.size());
    std::vector<std::uint32_t> offsets;
    std::uint32_t data_end = headers;
    for (const CoffSection& s : sections) {
      offsets.push_back(data_end);
      data_end += static_cast<std::uint32_t>(s.data.size());
    }
    // String table: 4-byte length, then the long names, each NUL-terminated.
    std::vector<std::uint8_t> strings(4, 0);
    std::vector<std::uint32_t> name_offsets;
    for (const CoffSection& s : sections) {
      if (s.name.size() > 8) {
        name_offsets.push_back(static_cast<std::uint32_t>(strings.size()));
        strings.insert(strings.end(), s.name.begin(), s.name.end());
        strings.push_back(0);
      } else {
        name_offsets.push_back(0);
      }
    }
    const auto string_length = static_cast<std::uint32_t>(strings.size());
    for (unsigned i = 0; i < 4; ++i) strings[i] = static_cast<std::uint8_t>(string_length >> (8 * i));

    // File header.
    u16(0xC2);  // version id
    u16(section_count.value_or(static_cast<std::uint16_t>(sections.size())));
    u32(0);  // time stamp
    u32(symbol_table_offset.value_or(data_end));
    u32(symbol_count);
    u16(28);  // optional-header size
    u16(0);   // flags
    u16(target_id);
    // Optional header.
    u16(magic);
    u16(0);                                   // version stamp
    for (unsigned i = 0; i < 6; ++i) u32(0);  // sizes, entry point, bases
    // Section headers.
    for (std::size_t i = 0; i < sections.size(); ++i) {
      const CoffSection& s = sections[i];
      if (s.name.size() > 8 || s.name_offset) {
        u32(0);
        u32(s.name_offset.value_or(name_offsets[i]));
      } else {
        for (std::size_t k = 0; k < 8; ++k) out.push_back(k < s.name.size() ? static_cast<std::uint8_t>(s.name[k]) : 0);
      }
      u32(s.address);
      u32(s.virtual_address.value_or(s.address));
      u32(s.size.value_or(static_cast<std::uint32_t>(s.data.size())));
      u32(s.data_offset.value_or(s.data.empty() ? 0 : offsets[i]));
      u32(0);  // relocations
      u32(0);  // line numbers
      u32(0);  // relocation count
      u32(0);  // line-number count
      u32(s.flags);
      u16(0);  // reserved
      u16(0);  // memory page
    }
    for (const CoffSection& s : sections) out.insert(out.end(), s.data.begin(), s.data.end());
    out.insert(out.end(), strings.begin(), strings.end());
    return out;
  }

  void WriteTo(const std::string& path) const { WriteCoffBytes(path, Build()); }

  static void WriteCoffBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!file) throw std::runtime_error("cannot write " + path);
  }
};

// `count` pseudo-random bytes, a different run for each `seed`, so data written at the wrong place or
// from the wrong section shows.
inline std::vector<std::uint8_t> CoffPattern(std::size_t count, std::uint32_t seed = 1) {
  std::vector<std::uint8_t> bytes(count);
  std::uint32_t x = seed * 2654435761u + 0x9E3779B9u;
  for (std::size_t i = 0; i < count; ++i) {
    x = x * 1664525u + 1013904223u;
    bytes[i] = static_cast<std::uint8_t>(x >> 24);
  }
  return bytes;
}

// The little-endian word of `bytes` at byte `offset`, missing bytes taken from `fill`.
inline std::uint32_t CoffWordAt(const std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t fill = 0) {
  std::uint32_t word = fill;
  for (std::size_t k = 0; k < 4; ++k) {
    if (offset + k < bytes.size()) {
      word &= ~(0xFFu << (8 * k));
      word |= static_cast<std::uint32_t>(bytes[offset + k]) << (8 * k);
    }
  }
  return word;
}

}  // namespace torvex_test
