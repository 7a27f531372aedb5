// The DSP program image and its identity block (see sim/dsp_image.h).
#include "sim/dsp_image.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace sim {
namespace {

constexpr std::uint16_t kCoffVersion = 0x00C2;
constexpr std::size_t kFileHeaderBytes = 22;
constexpr std::size_t kOptionalHeaderBytes = 28;
constexpr std::size_t kSectionHeaderBytes = 48;
constexpr std::uint32_t kEntryPoint = kDspTextAddress;
constexpr const char* kIdentitySectionName = ".nmr_identity";

struct Out {
  std::vector<std::uint8_t> b;
  void U16(std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
  }
  void U32(std::uint32_t v) {
    U16(static_cast<std::uint16_t>(v));
    U16(static_cast<std::uint16_t>(v >> 16));
  }
  void Name(const char* name) {  // eight bytes, NUL-padded
    char field[8] = {};
    std::memcpy(field, name, std::min(std::strlen(name), sizeof field));
    b.insert(b.end(), field, field + sizeof field);
  }
};

struct Section {
  const char* name;  // short names only; nullptr: the long name at string-table offset 4
  std::uint32_t address;
  std::uint32_t size;
  std::uint32_t flags;
  std::vector<std::uint32_t> words;  // raw data (empty for .bss)
};

std::vector<std::uint32_t> IdentityWords(DspVersion version) {
  const auto code = DspCodeWords();
  std::uint32_t code_xor = 0;
  for (std::uint32_t w : code) code_xor ^= w;
  std::vector<std::uint32_t> id = {
      kDspIdentityMagic, version.major, version.minor, kDspTextAddress, static_cast<std::uint32_t>(code.size()),
      code_xor};
  std::uint32_t check = 0;
  for (std::uint32_t w : id) check ^= w;
  id.push_back(check);
  return id;
}

}  // namespace

std::vector<std::uint32_t> DspCodeWords() {
  std::vector<std::uint32_t> words(kDspTextBytes / 4);
  std::uint32_t x = 0x2545F491u;  // xorshift32: a fixed sequence with no zero words
  for (auto& w : words) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    w = x;
  }
  return words;
}

std::vector<std::uint8_t> BuildDspImage(DspVersion version) {
  static_assert(kDspIdentityWords == 7);
  std::vector<Section> sections = {
      {".text", kDspTextAddress, kDspTextBytes, kCoffSectionText, DspCodeWords()},
      {nullptr, kDspIdentityAddress, kDspIdentityWords * 4, kCoffSectionData, IdentityWords(version)},
      {".bss", kDspBssAddress, kDspBssBytes, kCoffSectionBss, {}},
  };

  const std::uint32_t headers_end =
      static_cast<std::uint32_t>(kFileHeaderBytes + kOptionalHeaderBytes + kSectionHeaderBytes * sections.size());
  std::uint32_t raw = headers_end;
  std::vector<std::uint32_t> raw_offsets;
  for (const Section& s : sections) {
    raw_offsets.push_back(s.words.empty() ? 0 : raw);
    raw += static_cast<std::uint32_t>(s.words.size() * 4);
  }
  const std::uint32_t string_table = raw;

  Out o;
  // File header.
  o.U16(kCoffVersion);
  o.U16(static_cast<std::uint16_t>(sections.size()));
  o.U32(0);             // time stamp
  o.U32(string_table);  // symbol table (empty: the string table follows it at once)
  o.U32(0);             // symbol count
  o.U16(kOptionalHeaderBytes);
  o.U16(0x0100);  // little-endian
  o.U16(kCoffTarget);
  // Optional header.
  o.U16(kCoffOptionalMagic);
  o.U16(0);
  o.U32(kDspTextBytes);
  o.U32(kDspIdentityWords * 4);
  o.U32(kDspBssBytes);
  o.U32(kEntryPoint);
  o.U32(kDspTextAddress);
  o.U32(kDspIdentityAddress);
  // Section headers.
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const Section& s = sections[i];
    if (s.name != nullptr) {
      o.Name(s.name);
    } else {
      o.U32(0);
      o.U32(4);  // offset of the name in the string table, past its length word
    }
    o.U32(s.address);  // physical
    o.U32(s.address);  // virtual
    o.U32(s.size);
    o.U32(raw_offsets[i]);
    o.U32(0);  // relocations
    o.U32(0);  // reserved
    o.U32(0);  // relocation count
    o.U32(0);  // reserved
    o.U32(s.flags);
    o.U16(0);  // reserved
    o.U16(0);  // memory page
  }
  for (const Section& s : sections)
    for (std::uint32_t w : s.words) o.U32(w);
  // String table.
  const std::string name = kIdentitySectionName;
  o.U32(static_cast<std::uint32_t>(4 + name.size() + 1));
  o.b.insert(o.b.end(), name.begin(), name.end());
  o.b.push_back(0);
  return o.b;
}

bool VerifyDspIdentity(const std::function<std::uint32_t(std::uint32_t)>& read_word, DspVersion& version) {
  std::uint32_t id[kDspIdentityWords];
  std::uint32_t check = 0;
  for (std::uint32_t i = 0; i < kDspIdentityWords; ++i) {
    id[i] = read_word(kDspIdentityAddress + 4 * i);
    check ^= id[i];
  }
  if (id[0] != kDspIdentityMagic || check != 0) return false;
  if (id[1] > 0xFFFF || id[2] > 0xFFFF) return false;
  // The code it names must be there, whole.
  const std::uint32_t address = id[3];
  const std::uint32_t count = id[4];
  if (count == 0 || count > 0x100000 || address % 4 != 0) return false;
  std::uint32_t code_xor = 0;
  for (std::uint32_t i = 0; i < count; ++i) code_xor ^= read_word(address + 4 * i);
  if (code_xor != id[5]) return false;
  version.major = static_cast<std::uint16_t>(id[1]);
  version.minor = static_cast<std::uint16_t>(id[2]);
  return true;
}

}  // namespace sim
