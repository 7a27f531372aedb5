// The board program's command line (see Options.h).
#include "Options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace board {
namespace {

constexpr const char* kUsage =
    "usage: torvex --root DIR [--tick-us N] [--log-stderr] [--boot-condition N] [--net sim|linux[:IFNAME]]\n"
    "              [--portmapper-port N] [--nbns-ports NAME,DATAGRAM] [--usbredir-port N]\n"
    "       torvex board --root DIR COMMAND...\n"
    "board commands: button short|long|press|release, temperature CELSIUS, fault watchdog, state,\n"
    "  plug PATH probe|multiplexer[:N]|camera[:H], unplug PATH, field TESLA, probes,\n"
    "  dsp [state|clear|boot on|off|versions DSP CPLD|delay ID|all MS|drop ID|all N|mailbox N|\n"
    "       check N|error N|stall on|off], net [dhcp on|off],\n"
    "  usb SCPI-TEXT, usbtmc OPERATION [ARGS] (see README)\n";

// The tick's accepted range: below 100 us a short push of the button no longer tells itself from a
// long one on a loaded host, and the keep-alive thread misses the watchdog.
constexpr unsigned long kMinTickUs = 100;
constexpr unsigned long kMaxTickUs = 10000000;

// A decimal number from `min` to `max`, or the usage with the accepted range.
unsigned long ParseNumber(const char* text, unsigned long min, unsigned long max, const char* what) {
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || text[0] < '0' || text[0] > '9' || v < min || v > max) {
    Usage(std::string(what) + " takes " + std::to_string(min) + " to " + std::to_string(max));
  }
  return v;
}

// "NAME,DATAGRAM": two port numbers from 0 to 65535.
void ParsePortPair(const char* text, unsigned long* first, unsigned long* second) {
  const std::string pair = text;
  const std::size_t comma = pair.find(',');
  if (comma == std::string::npos) Usage("--nbns-ports takes NAME,DATAGRAM");
  *first = ParseNumber(pair.substr(0, comma).c_str(), 0, 65535, "--nbns-ports");
  *second = ParseNumber(pair.substr(comma + 1).c_str(), 0, 65535, "--nbns-ports");
}

}  // namespace

[[noreturn]] void Usage(const std::string& message) {
  std::fprintf(stderr, "torvex: %s\n%s", message.c_str(), kUsage);
  std::exit(2);
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool takes_value = arg == "--root" || arg == "--tick-us" || arg == "--boot-condition" || arg == "--net" ||
                             arg == "--portmapper-port" || arg == "--nbns-ports" || arg == "--usbredir-port";
    if (takes_value && i + 1 >= argc) Usage(arg + " needs a value");
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--root") {
      o.root = argv[++i];
    } else if (arg == "--tick-us") {
      o.tick_us = ParseNumber(argv[++i], kMinTickUs, kMaxTickUs, "--tick-us");
    } else if (arg == "--net") {
      o.net = argv[++i];
    } else if (arg == "--portmapper-port") {
      o.portmapper_port = ParseNumber(argv[++i], 0, 65535, "--portmapper-port");
    } else if (arg == "--usbredir-port") {
      o.usbredir_port = ParseNumber(argv[++i], 0, 65535, "--usbredir-port");
    } else if (arg == "--nbns-ports") {
      ParsePortPair(argv[++i], &o.nbns_name_port, &o.nbns_datagram_port);
    } else if (arg == "--log-stderr") {
      o.log_stderr = true;
    } else if (arg == "--boot-condition") {
      o.boot_condition = static_cast<std::uint32_t>(ParseNumber(argv[++i], 0, 0xFFFFFFFFUL, "--boot-condition"));
    } else {
      Usage("unknown argument " + arg);
    }
  }
  if (o.root.empty()) Usage("--root is required");
  if (const char* env = std::getenv("TORVEX_PORTMAPPER_PORT"); env != nullptr && o.portmapper_port == 111) {
    o.portmapper_port = ParseNumber(env, 0, 65535, "TORVEX_PORTMAPPER_PORT");
  }
  if (const char* env = std::getenv("TORVEX_NBNS_PORTS");
      env != nullptr && o.nbns_name_port == 137 && o.nbns_datagram_port == 138) {
    ParsePortPair(env, &o.nbns_name_port, &o.nbns_datagram_port);
  }
  if (const char* env = std::getenv("TORVEX_USBREDIR_PORT"); env != nullptr && *env != '\0' && !o.usbredir_port) {
    o.usbredir_port = ParseNumber(env, 0, 65535, "TORVEX_USBREDIR_PORT");
  }
  if (const char* env = std::getenv("TORVEX_NET"); env != nullptr && o.net == "sim") o.net = env;
  if (o.net == "linux") o.net = "linux:eth0";
  if (o.net != "sim" && (o.net.rfind("linux:", 0) != 0 || o.net.size() == 6))
    Usage("--net takes sim or linux[:IFNAME]");
  return o;
}

}  // namespace board
