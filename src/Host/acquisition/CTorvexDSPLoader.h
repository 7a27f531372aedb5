// CTorvexDSPLoader: loads the sections of the DSP program file into DSP memory through the host port
// and reads every word back to verify it. The caller has reset the DSP and set up its memory
// interface; the loader neither starts the DSP nor takes the DSP-interface lock (no other thread
// reaches the DSP while the acquisition thread loads it).
#pragma once

#include <cstdint>
#include <vector>

#include "acquisition/CTMS320C67xxCoffParser.h"

namespace Torvex {

class CTorvexDSPLoader : private CTMS320C67xxCoffParser {
 public:
  CTorvexDSPLoader() = default;
  ~CTorvexDSPLoader() override = default;

  using CTMS320C67xxCoffParser::Parse;

 private:
  bool LoadSection(std::uint32_t address, const std::vector<std::uint32_t>& words) override;
  bool LoadSectionTail(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count) override;
};

}  // namespace Torvex
