// The DSP program image: the COFF object file that the firmware loads into DSP memory, and the
// identity block inside it by which the DSP model (sim/dsp_program.h) recognises a complete load.
//
// File layout (little-endian TI COFF, 48-byte section headers):
//   file header      22 bytes: version 0x00C2, section count, time stamp, symbol-table offset, symbol
//                    count 0, optional-header size 28, flags, target 0x0099
//   optional header  28 bytes: magic 0x0108, version, text/data/bss sizes, entry point, text and data
//                    start addresses
//   section headers  48 bytes each, physical address = virtual address:
//     ".text"        code, flags 0x20, at kDspTextAddress (kDspTextBytes bytes: more than one
//                    4096-byte chunk, and a size that is not a multiple of 4096)
//     long name      the identity block, flags 0x40, at kDspIdentityAddress; its name lives in the
//                    string table (".nmr_identity")
//     ".bss"         uninitialised, flags 0x80: never loaded
//   raw data, then the string table (its 4-byte length first) at the symbol-table offset.
//
// Identity block (kDspIdentityWords words): magic kDspIdentityMagic, DSP major and minor version,
// address and word count of the code, XOR of the code words, check word (XOR of the words before it).
// The code words are a fixed pseudo-random sequence, so that a load that misses or garbles a chunk
// fails the code check.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace sim {

inline constexpr const char* kDspImageName = "Rudevu_Radi_Ziziv.out";

inline constexpr std::uint16_t kCoffTarget = 0x0099;
inline constexpr std::uint16_t kCoffOptionalMagic = 0x0108;
inline constexpr std::uint32_t kCoffSectionText = 0x20;
inline constexpr std::uint32_t kCoffSectionData = 0x40;
inline constexpr std::uint32_t kCoffSectionBss = 0x80;

inline constexpr std::uint32_t kDspIdentityAddress = 0x00000200;
inline constexpr std::uint32_t kDspIdentityMagic = 0x4E4D5244;  // "DRMN" read little-endian
inline constexpr std::uint32_t kDspIdentityWords = 7;
inline constexpr std::uint32_t kDspTextAddress = 0x00001000;
inline constexpr std::uint32_t kDspTextBytes = 6144;
inline constexpr std::uint32_t kDspBssAddress = 0x00010000;
inline constexpr std::uint32_t kDspBssBytes = 0x4000;

struct DspVersion {
  std::uint16_t major = 2;
  std::uint16_t minor = 4;
};

// The code words of the image, in order (kDspTextBytes / 4 of them).
std::vector<std::uint32_t> DspCodeWords();

// The whole COFF file for a program that announces `version`.
std::vector<std::uint8_t> BuildDspImage(DspVersion version);

// Checks the identity block and the code it names in a DSP memory read through `read_word`; on
// success stores the version the program announces.
bool VerifyDspIdentity(const std::function<std::uint32_t(std::uint32_t address)>& read_word, DspVersion& version);

}  // namespace sim
