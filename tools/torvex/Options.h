// The board program's command line: the options of a board run, read from the arguments and the
// environment. A malformed option ends the process with the usage (status 2).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/bootloader.h"

namespace board {

struct Options {
  std::string root;
  unsigned long tick_us = 0;
  bool log_stderr = false;
  std::uint32_t boot_condition = platform::bootloader::kColdBoot;
  std::string net = "sim";  // "sim", or "linux:<interface>"
  unsigned long portmapper_port = 111;
  unsigned long nbns_name_port = 137;
  unsigned long nbns_datagram_port = 138;
  std::optional<unsigned long> usbredir_port;  // off unless given
};

// The options of `torvex --root DIR ...`; --help prints the usage and ends the process.
Options ParseOptions(int argc, char** argv);

// Prints "torvex: MESSAGE" and the usage, and ends the process with status 2.
[[noreturn]] void Usage(const std::string& message);

}  // namespace board
