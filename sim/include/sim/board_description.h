// The board's description: the file "<root>/board.conf" that says what the simulated board is made of
// and how the world is at power-up. It is read at every start and written with the defaults when
// missing. Lines are "key value"; "#" starts a comment. Numbers are decimal for every key.
//
//   temperature CELSIUS   board temperature at power-up (-55 to 125)
//   flash-blocks N        blocks of the NAND flash, 128 KiB each (8 to 8192)
//   bad-block N           a bad block of the NAND flash (may repeat)
//   plug PATH KIND        a peripheral plugged at power-up (may repeat, parents first; the
//                         peripheral controllers check path and kind when the board starts)
//   cpld-version M.N      the CPLD version the DSP reports (0 to 65535 each; 1.8 when absent)
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sim {

struct BoardDescription {
  double temperature = 25.0;
  std::uint32_t flash_blocks = 512;
  std::vector<std::uint32_t> bad_blocks;
  std::vector<std::pair<std::string, std::string>> plugged;  // path, kind
  std::uint16_t cpld_major = 1;
  std::uint16_t cpld_minor = 8;
};

inline constexpr const char* kBoardDescriptionName = "board.conf";

// Parses a description; false with `error` naming the line and the fault.
bool ParseBoardDescription(const std::string& text, BoardDescription& out, std::string& error);
// The text written for a missing description.
std::string DefaultBoardDescriptionText();
// Reads <root>/board.conf, writing the default one first when it is missing.
bool LoadBoardDescription(const std::string& root, BoardDescription& out, std::string& error);

}  // namespace sim
