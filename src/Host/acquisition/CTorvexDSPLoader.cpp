#include "acquisition/CTorvexDSPLoader.h"

#include <sys/types.h>

#include <cstddef>

#include "core/CLogger.h"
#include "drivers/dsp_hpi.h"

namespace Torvex {

bool CTorvexDSPLoader::LoadSection(std::uint32_t address, const std::vector<std::uint32_t>& words) {
  if (words.empty()) return true;
  g_Logger.Printf("Loading code at 0x%08X , size %zd bytes\n", address,
                  static_cast<ssize_t>(words.size() * sizeof(std::uint32_t)));
  dsp_hpi_write_block(address, words.data(), static_cast<cyg_uint32>(words.size()));
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (dsp_hpi_read_word(address + static_cast<std::uint32_t>(4 * i)) != words[i]) return false;
  }
  return true;
}

bool CTorvexDSPLoader::LoadSectionTail(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count) {
  g_Logger.Printf("Loading code at 0x%08X , size %zd bytes\n", address, static_cast<ssize_t>(count));
  // The tail shares its DSP word with whatever follows the section: keep those bytes.
  std::uint32_t word = dsp_hpi_read_word(address);
  for (std::uint32_t i = 0; i < count && i < 4; ++i) {
    word &= ~(0xFFu << (8 * i));
    word |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
  }
  dsp_hpi_write_block(address, &word, 1);
  return dsp_hpi_read_word(address) == word;
}

}  // namespace Torvex
