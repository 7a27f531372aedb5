#include "sim/board_description.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace sim {
namespace {

// Every number of the file is read one way: decimal digits, with a leading '-' and a fraction where
// the key allows them. Hexadecimal, exponents, signs other than '-' and bytes after the number are
// refused for every key alike.
bool ParseDecimal(const std::string& text, bool allow_fraction, double min, double max, double& out) {
  std::size_t i = 0;
  if (i < text.size() && text[i] == '-' && min < 0) ++i;
  const std::size_t digits_from = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  if (i == digits_from || i - digits_from > 9) return false;
  if (allow_fraction && i < text.size() && text[i] == '.') {
    const std::size_t fraction_from = ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == fraction_from) return false;
  }
  if (i != text.size()) return false;
  const double v = std::strtod(text.c_str(), nullptr);
  if (!(v >= min && v <= max)) return false;
  out = v;
  return true;
}

bool ParseInteger(const std::string& text, std::uint32_t min, std::uint32_t max, std::uint32_t& out) {
  double v = 0;
  if (!ParseDecimal(text, false, min, max, v)) return false;
  out = static_cast<std::uint32_t>(v);
  return true;
}

}  // namespace

std::string DefaultBoardDescriptionText() {
  return "# The simulated board, read at every start (see the README).\n"
         "# temperature CELSIUS   board temperature at power-up (-55 to 125)\n"
         "# flash-blocks N        blocks of the NAND flash, 128 KiB each (8 to 8192)\n"
         "# bad-block N           a bad block of the NAND flash (may repeat)\n"
         "# plug PATH KIND        a peripheral plugged at power-up (may repeat, parents first)\n"
         "# cpld-version M.N      the CPLD version the DSP reports (1.8 when absent)\n"
         "temperature 25\n"
         "flash-blocks 512\n"
         "plug 1 probe\n";
}

bool ParseBoardDescription(const std::string& text, BoardDescription& out, std::string& error) {
  BoardDescription d;
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string key, value, extra;
    if (!(words >> key)) continue;
    const std::string where = std::string(kBoardDescriptionName) + " line " + std::to_string(number) + ": ";
    if (key == "plug") {
      std::string path, kind;
      if (!(words >> path >> kind) || (words >> extra)) {
        error = where + "expected \"plug PATH KIND\"";
        return false;
      }
      d.plugged.emplace_back(path, kind);
      continue;
    }
    if (!(words >> value) || (words >> extra)) {
      error = where + "expected \"" + key + " VALUE\"";
      return false;
    }
    if (key == "temperature") {
      if (!ParseDecimal(value, true, -55.0, 125.0, d.temperature)) {
        error = where + "temperature takes a decimal number from -55 to 125 degrees Celsius";
        return false;
      }
    } else if (key == "flash-blocks") {
      if (!ParseInteger(value, 8, 8192, d.flash_blocks)) {
        error = where + "flash-blocks takes a decimal number from 8 to 8192";
        return false;
      }
    } else if (key == "bad-block") {
      std::uint32_t block = 0;
      if (!ParseInteger(value, 0, 8191, block)) {
        error = where + "bad-block takes a decimal block number from 0 to 8191";
        return false;
      }
      d.bad_blocks.push_back(block);
    } else if (key == "cpld-version") {
      const auto dot = value.find('.');
      std::uint32_t major = 0, minor = 0;
      if (dot == std::string::npos || !ParseInteger(value.substr(0, dot), 0, 65535, major) ||
          !ParseInteger(value.substr(dot + 1), 0, 65535, minor)) {
        error = where + "cpld-version takes MAJOR.MINOR, decimal numbers from 0 to 65535";
        return false;
      }
      d.cpld_major = static_cast<std::uint16_t>(major);
      d.cpld_minor = static_cast<std::uint16_t>(minor);
    } else {
      error = where + "unknown key \"" + key + "\"";
      return false;
    }
  }
  for (const std::uint32_t block : d.bad_blocks) {
    if (block >= d.flash_blocks) {
      error = std::string(kBoardDescriptionName) + ": bad-block " + std::to_string(block) + " is beyond the " +
              std::to_string(d.flash_blocks) + " flash blocks";
      return false;
    }
  }
  out = d;
  return true;
}

bool LoadBoardDescription(const std::string& root, BoardDescription& out, std::string& error) {
  const std::filesystem::path path = std::filesystem::path(root) / kBoardDescriptionName;
  if (!std::filesystem::exists(path)) {
    std::ofstream(path) << DefaultBoardDescriptionText();
  }
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path.string();
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  return ParseBoardDescription(text.str(), out, error);
}

}  // namespace sim
