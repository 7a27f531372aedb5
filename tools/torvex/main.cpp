// torvex: the simulated board running the firmware.
//
//   torvex --root DIR [--tick-us N] [--log-stderr] [--boot-condition N] [--net sim|linux[:IFNAME]]
//          [--portmapper-port N] [--nbns-ports NAME,DATAGRAM] [--usbredir-port N]
//   torvex board --root DIR COMMAND...
//
// The first form builds the board kept in DIR (made when missing: the read-only file system from the
// build's ROMFS image, an empty flash, the default EEPROM image) and runs the firmware's main on it.
// The board carries out what the firmware asks of the hardware and the boot loader:
//  - power off (the power line dropped): the process ends with status 0;
//  - reset, and a watchdog expiry: the firmware starts again in a fresh process image (same process
//    id) with the warm boot condition;
//  - firmware-update mode: "board: firmware-update mode" and status 3.
// SIGTERM and SIGINT are a short push of the on/off button; SIGKILL is a power cut.
//
// --tick-us N (or TORVEX_TICK_US) is the tick length once the firmware has come up ("board: ready");
// the start-up runs at the instrument's 10 ms tick.
//
// The network interface eth0 is the simulated link (sim/network.h) unless --net linux (or the
// environment variable TORVEX_NET=linux) puts it on the Linux interface IFNAME (default eth0) of the
// process's network namespace: meant only for a namespace a test made for it.
//
// The VXI-11 server asks the portmapper at 127.0.0.1 port 111, and serves one of its own there when
// none answers; the name server binds UDP 137 and 138. On the simulated link all of them listen on the
// loopback only; with --net linux on every address of the namespace. Both need the right to bind ports below 1024:
// --portmapper-port and --nbns-ports (or TORVEX_PORTMAPPER_PORT and TORVEX_NBNS_PORTS) move them for
// runs without it, 0 taking any free port (then nobody outside finds them: for tests that run boards
// side by side).
//
// The board's USB port is the device controller model (sim/usb_device.h). --usbredir-port N (or
// TORVEX_USBREDIR_PORT) joins its cable to a USB host over the usbredir protocol on 127.0.0.1 port N
// (0: any free port), for a virtual machine's usb-redir device; the port is printed as
// "board: usbredir on 127.0.0.1:N". Off by default.
//
// The second form drives a running board through its control socket (see BoardControl.h).
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BoardControl.h"
#include "UsbCommands.h"
#include "core/CLogger.h"
#include "drivers/board_devices.h"
#include "main/TorvexMain.h"
#include "platform/board_state.h"
#include "platform/bootloader.h"
#include "platform/devtab.h"
#include "platform/io.h"
#include "platform/kernel.h"
#include "netservices/NetworkConfiguration.h"
#include "platform/net.h"
#include "sim/board.h"
#include "sim/board_description.h"
#include "sim/network.h"
#include "sim/usb_redir.h"
#include "sim/nand_flash.h"
#include "sim/watchdog_timer.h"
#include "status/CScpiStatus.h"
#include "netservices/nbns.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "vxi11/Vxi11ServerHooks.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage =
    "usage: torvex --root DIR [--tick-us N] [--log-stderr] [--boot-condition N] [--net sim|linux[:IFNAME]]\n"
    "              [--portmapper-port N] [--nbns-ports NAME,DATAGRAM] [--usbredir-port N]\n"
    "       torvex board --root DIR COMMAND...\n"
    "board commands: button short|long|press|release, temperature CELSIUS, fault watchdog, state,\n"
    "  plug PATH probe|multiplexer[:N]|camera[:H], unplug PATH, field TESLA, probes,\n"
    "  dsp [state|clear|boot on|off|versions DSP CPLD|delay ID|all MS|drop ID|all N|mailbox N|\n"
    "       check N|error N|stall on|off], net [dhcp on|off],\n"
    "  usb SCPI-TEXT, usbtmc OPERATION [ARGS] (see README)\n";

[[noreturn]] void Usage(const std::string& message) {
  std::fprintf(stderr, "torvex: %s\n%s", message.c_str(), kUsage);
  std::exit(2);
}

// The tick's accepted range: below 100 us a short push of the button no longer tells itself from a
// long one on a loaded host, and the keep-alive thread misses the watchdog.
constexpr unsigned long kMinTickUs = 100;
constexpr unsigned long kMaxTickUs = 10000000;
// The tick of the start-up (the instrument's).
constexpr std::uint32_t kStartUpTickUs = 10000;

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

std::vector<std::string> g_argv;  // for the re-start after a reset

// SIGTERM and SIGINT are blocked in every thread, from before the first static initialiser makes a
// thread: the board's signal thread takes them with sigwait (a push of the button).
sigset_t ShutdownSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}
struct BlockShutdownSignals {
  BlockShutdownSignals() {
    const sigset_t set = ShutdownSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
  }
};
[[maybe_unused]] BlockShutdownSignals g_block_signals __attribute__((init_priority(101)));

board::ControlServer* g_control = nullptr;  // its socket file goes with the process

// The process ends without running static destructors or at-exit hooks: the board is gone.
[[noreturn]] void EndProcess(int status) {
  if (g_control != nullptr) g_control->RemoveSocketFile();
  std::fflush(stdout);
  std::fflush(stderr);
  ::_exit(status);
}

// A reset: the same program again, in this process, with the warm boot condition.
[[noreturn]] void Restart() {
  std::vector<std::string> args;
  for (std::size_t i = 0; i < g_argv.size(); ++i) {
    if (g_argv[i] == "--boot-condition" && i + 1 < g_argv.size()) {
      ++i;
      continue;
    }
    args.push_back(g_argv[i]);
  }
  args.push_back("--boot-condition");
  args.push_back(std::to_string(platform::bootloader::kWarmBoot));
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::fprintf(stderr, "board: reset\n");
  std::fflush(stderr);
  ::execv("/proc/self/exe", argv.data());
  std::fprintf(stderr, "board: cannot restart: %s\n", std::strerror(errno));
  EndProcess(1);
}

// One firmware per board root: an exclusive lock on <root>/board.lock, held for the life of the
// process and released by the kernel when it ends, however it ends. A reset starts the program again
// in this process with the descriptor still open (its number in kLockFdVariable), so the lock is kept
// through it. The file holds the process id of the holder, for the refusal message.
constexpr const char* kLockFileName = "board.lock";
constexpr const char* kLockFdVariable = "TORVEX_BOARD_LOCK_FD";

bool SameFile(int fd, const std::string& path) {
  struct stat a{}, b{};
  return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool LockRoot(const std::string& root, std::string& error) {
  const std::string path = (fs::path(root) / kLockFileName).string();
  if (const char* inherited = std::getenv(kLockFdVariable); inherited != nullptr) {
    const int fd = std::atoi(inherited);
    if (fd > 2 && SameFile(fd, path) && ::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int why = errno;
    char holder[32] = {};
    const ssize_t n = ::pread(fd, holder, sizeof holder - 1, 0);
    ::close(fd);
    if (why == EWOULDBLOCK) {
      error = root + " is in use by another torvex";
      if (n > 0) error += std::string(" (process ") + std::string(holder, std::strcspn(holder, "\n")) + ")";
      error += "; one firmware runs per board root";
    } else {
      error = "cannot lock " + path + ": " + std::strerror(why);
    }
    return false;
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  // The pid is only for the message; the lock is what counts.
  [[maybe_unused]] const bool noted = ::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.data(), pid.size(), 0) > 0;
  ::setenv(kLockFdVariable, std::to_string(fd).c_str(), 1);
  return true;
}

// Makes the parts of the board root that are missing; the read-only file system is the build's image,
// laid anew at every start like a firmware image.
void PrepareRoot(const std::string& root) {
  fs::create_directories(root);
  fs::create_directories(fs::path(root) / "yaffs");
  const fs::path romfs = fs::path(root) / "romfs";
  std::error_code ec;
  fs::remove_all(romfs, ec);
  fs::create_directories(romfs);
  // The build's image, unless the environment names another one (tests of a damaged image).
  const char* override_image = std::getenv("TORVEX_ROMFS_IMAGE");
  const fs::path image = override_image != nullptr && *override_image != '\0' ? override_image : TORVEX_ROMFS_IMAGE;
  if (fs::is_directory(image)) {
    fs::copy(image, romfs, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  } else {
    std::fprintf(stderr, "board: no ROMFS image at %s; /romfs is empty\n", image.c_str());
  }
}

// Holds the button for `hold`, then releases it (on a thread of its own).
void PushButton(sim::Board& board, std::chrono::microseconds hold) {
  std::thread([&board, hold] {
    board.PressButton();
    std::this_thread::sleep_for(hold);
    board.ReleaseButton();
  }).detach();
}

std::chrono::microseconds Ticks(cyg_tick_count_t ticks) {
  return std::chrono::microseconds(ticks * platform::kernel::TickMicroseconds());
}

// The firmware tells a long push (held 5 s = 500 ticks) from a short one. A short push lasts 20 ticks,
// but at least 150 ms of real time so that a busy host still sees it pressed, and never more than
// half the long-push limit.
std::chrono::microseconds ShortPush() {
  return std::min(std::max(Ticks(20), std::chrono::microseconds(150000)), Ticks(250));
}
std::chrono::microseconds LongPush() { return Ticks(600); }

// Commands that change the board act once their reply has been sent: what they cause (a power cut,
// a reset) may end the process at once.
// A whole decimal or 0x-prefixed hexadecimal number up to `max`.
bool ParseCount(const std::string& text, unsigned long max, unsigned long& out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(text.c_str(), &end, 0);
  if (*end != '\0' || errno != 0 || v > max) return false;
  out = v;
  return true;
}

bool ParseVersion(const std::string& text, sim::DspVersion& out) {
  const auto dot = text.find('.');
  unsigned long major = 0, minor = 0;
  if (dot == std::string::npos || text.find_first_not_of("0123456789.") != std::string::npos ||
      !ParseCount(text.substr(0, dot), 0xFFFF, major) || !ParseCount(text.substr(dot + 1), 0xFFFF, minor)) {
    return false;
  }
  out.major = static_cast<std::uint16_t>(major);
  out.minor = static_cast<std::uint16_t>(minor);
  return true;
}

// The `dsp` board command: the DSP program's state and faults.
std::string DspCommand(sim::DspProgram& dsp, const std::vector<std::string>& args) {
  const std::string what = args.empty() ? "state" : args[0];
  const std::size_t n = args.size();
  auto on_off = [&](const char* usage) {
    if (n != 2 || (args[1] != "on" && args[1] != "off")) throw std::invalid_argument(usage);
    return args[1] == "on";
  };
  auto count = [&](std::size_t at, unsigned long max, const char* usage) {
    unsigned long v = 0;
    if (at >= n || !ParseCount(args[at], max, v)) throw std::invalid_argument(usage);
    return v;
  };
  // A request id (a reply id for DSP_BOOTED) with a length in the frame table, or "all".
  auto request = [&](const char* usage) -> std::uint32_t {
    if (n != 3) throw std::invalid_argument(usage);
    if (args[1] == "all") return sim::DspProgram::kAllRequests;
    unsigned long id = 0;
    if (!ParseCount(args[1], 0xFFFFFFFFUL, id) ||
        (sim::DspProgram::RequestBytes(static_cast<std::uint32_t>(id)) == 0 && id != sim::DspProgram::kBootedId)) {
      throw std::invalid_argument(std::string(usage) + " (ID: a request id such as 0x70, or 0x10001 for DSP_BOOTED)");
    }
    return static_cast<std::uint32_t>(id);
  };
  if (what == "state" && n <= 1) return dsp.Describe();
  if (what == "clear" && n == 1) {
    dsp.ClearFaults();
    return {};
  }
  if (what == "boot") {
    dsp.SetBootEnabled(on_off("dsp boot takes on or off"));
  } else if (what == "versions") {
    sim::DspVersion version, cpld;
    if (n != 3 || !ParseVersion(args[1], version) || !ParseVersion(args[2], cpld)) {
      throw std::invalid_argument("dsp versions takes DSP and CPLD versions, MAJOR.MINOR each");
    }
    dsp.SetReportedVersions(version, cpld);
  } else if (what == "delay") {
    const std::uint32_t id = request("dsp delay takes ID|all MILLISECONDS");
    dsp.SetReplyDelay(id, static_cast<std::uint32_t>(count(2, 3600000, "dsp delay takes ID|all MILLISECONDS (up to 3600000)")));
  } else if (what == "drop") {
    const std::uint32_t id = request("dsp drop takes ID|all COUNT");
    dsp.DropReplies(id, static_cast<unsigned>(count(2, 1000000, "dsp drop takes ID|all COUNT (up to 1000000)")));
  } else if (what == "mailbox" && n == 2) {
    dsp.CorruptMailbox(static_cast<unsigned>(count(1, 1000000, "dsp mailbox takes a count of replies")));
  } else if (what == "check" && n == 2) {
    dsp.CorruptCheckWord(static_cast<unsigned>(count(1, 1000000, "dsp check takes a count of replies")));
  } else if (what == "error" && n == 2) {
    dsp.SetErrorFlag(static_cast<unsigned>(count(1, 1000000, "dsp error takes a count of replies")));
  } else if (what == "stall") {
    dsp.StallCounter(on_off("dsp stall takes on or off"));
  } else {
    throw std::invalid_argument(
        "dsp takes state, clear, boot on|off, versions DSP CPLD, delay ID|all MS, drop ID|all N, mailbox N, "
        "check N, error N or stall on|off");
  }
  return {};
}

// "net": the network state as the tree shows it; "net dhcp on|off": the simulated link's DHCP server.
std::string NetCommand(const std::vector<std::string>& args, sim::Network* link) {
  if (args.size() == 2 && args[0] == "dhcp" && (args[1] == "on" || args[1] == "off")) {
    if (link == nullptr) throw std::invalid_argument("net dhcp needs the simulated link");
    link->SetDhcpServer(args[1] == "on" ? std::optional<sim::Network::DhcpOffer>(sim::Network::DhcpOffer{})
                                        : std::nullopt);
    return {};
  }
  if (!args.empty()) throw std::invalid_argument("net takes nothing, or dhcp on|off");
  // The tree's nodes are bound by the start-up: read only once the firmware is ready.
  if (platform::board::GetRunState() != platform::board::RunState::kReady) {
    return std::string("state=") + platform::board::RunStateName(platform::board::GetRunState());
  }
  auto text = [](Torvex::CParameterNode* node) {
    return node != nullptr ? node->GetStringAttribute(Torvex::eAttrValue) : std::string("-");
  };
  Torvex::CParameterNode* active = Torvex::g_node_host_if_communication_ethernet_active;
  std::string reply = "active=";
  reply += active != nullptr && active->GetBooleanAttribute(Torvex::eAttrValue) ? "1" : "0";
  reply += " passes=" + std::to_string(Torvex::NetworkPassCount());
  reply += " mode=" + std::to_string(Torvex::g_NetworkAddressMode.load());
  reply += " ip=" + text(Torvex::g_node_comm_parms_ethernet_ip_address);
  reply += " mask=" + text(Torvex::g_node_comm_parms_ethernet_net_mask);
  reply += " broadcast=" + text(Torvex::g_node_comm_parms_ethernet_broadcast);
  reply += " gateway=" + text(Torvex::g_node_comm_parms_ethernet_gateway);
  reply += " dns=" + text(Torvex::g_node_comm_parms_ethernet_dns_server);
  reply += " domain=" + text(Torvex::g_node_comm_parms_ethernet_domain);
  return reply;
}

void AddControlCommands(board::ControlServer& server, sim::Board& board, sim::Network* link) {
  server.Add("net", [link](const std::vector<std::string>& args) { return NetCommand(args, link); });
  // The USB host on the other end of the board's cable: lives as long as the process.
  static board::UsbCommands* usb = new board::UsbCommands(board);
  server.Add("usb", [](const std::vector<std::string>& args) { return usb->Usb(args); });
  server.Add("usbtmc", [](const std::vector<std::string>& args) { return usb->Usbtmc(args); });
  server.Add("button", [&server, &board](const std::vector<std::string>& args) -> std::string {
    const std::string how = args.size() == 1 ? args[0] : std::string();
    if (how == "short") {
      server.AfterReply([&board] { PushButton(board, ShortPush()); });
    } else if (how == "long") {
      server.AfterReply([&board] { PushButton(board, LongPush()); });
    } else if (how == "press") {
      server.AfterReply([&board] { board.PressButton(); });
    } else if (how == "release") {
      server.AfterReply([&board] { board.ReleaseButton(); });
    } else {
      throw std::invalid_argument("button takes short, long, press or release");
    }
    return {};
  });
  server.Add("temperature", [&server, &board](const std::vector<std::string>& args) -> std::string {
    if (args.size() != 1) throw std::invalid_argument("temperature takes one value in degrees Celsius");
    char* end = nullptr;
    const double c = std::strtod(args[0].c_str(), &end);
    if (end == args[0].c_str() || *end != '\0' || !(c >= -60.0 && c <= 200.0)) {
      throw std::invalid_argument("temperature takes a value from -60 to 200 degrees Celsius");
    }
    server.AfterReply([&board, c] { board.SetTemperature(c); });
    return {};
  });
  server.Add("fault", [&server](const std::vector<std::string>& args) -> std::string {
    if (args.size() != 1 || args[0] != "watchdog") throw std::invalid_argument("fault takes watchdog");
    // The watchdog runs out now, as if the keep-alive thread had stalled: the board resets.
    server.AfterReply([] { platform::bootloader::WatchdogExpired(); });
    return {};
  });
  // The probe connector: plug and unplug anywhere in the tree, the field the Hall sensors measure,
  // and what is plugged.
  server.Add("plug", [&board](const std::vector<std::string>& args) -> std::string {
    if (args.size() != 2) throw std::invalid_argument("plug takes PATH KIND");
    std::string error;
    if (!board.peripherals().Plug(args[0], args[1], &error)) throw std::invalid_argument("plug: " + error);
    return {};
  });
  server.Add("unplug", [&board](const std::vector<std::string>& args) -> std::string {
    if (args.size() != 1) throw std::invalid_argument("unplug takes PATH");
    std::string error;
    if (!board.peripherals().Unplug(args[0], &error)) throw std::invalid_argument("unplug: " + error);
    return {};
  });
  server.Add("field", [&board](const std::vector<std::string>& args) -> std::string {
    if (args.size() != 1) throw std::invalid_argument("field takes one value in tesla");
    char* end = nullptr;
    const double t = std::strtod(args[0].c_str(), &end);
    if (end == args[0].c_str() || *end != '\0' || !(t >= -30.0 && t <= 30.0)) {
      throw std::invalid_argument("field takes a value from -30 to 30 tesla");
    }
    board.peripherals().SetField(0.0, 0.0, t);
    return {};
  });
  // The DSP program's faults; without arguments its state.
  server.Add("dsp", [&board](const std::vector<std::string>& args) -> std::string {
    return DspCommand(board.dsp_program(), args);
  });
  server.Add("probes", [&board](const std::vector<std::string>& args) -> std::string {
    if (!args.empty()) throw std::invalid_argument("probes takes no argument");
    std::string reply;
    for (const std::string& line : board.peripherals().Describe()) reply += (reply.empty() ? "" : "\n") + line;
    return reply;
  });
  // The condition of one status register (0 to 6) as every new client starts with it.
  server.Add("condition", [](const std::vector<std::string>& args) -> std::string {
    char* end = nullptr;
    const long reg = args.size() == 1 ? std::strtol(args[0].c_str(), &end, 10) : -1;
    if (args.size() != 1 || end == args[0].c_str() || *end != '\0' || reg < 0 || reg > 6) {
      throw std::invalid_argument("condition takes a status register from 0 to 6");
    }
    std::uint16_t value = 0;
    Torvex::g_ScpiStatusTemplate.GetCondition(static_cast<std::uint32_t>(reg), value);
    return std::to_string(value);
  });
  server.Add("state", [](const std::vector<std::string>& args) -> std::string {
    if (!args.empty()) throw std::invalid_argument("state takes no argument");
    return platform::board::RunStateName(platform::board::GetRunState());
  });
}

int BoardClient(int argc, char** argv) {
  std::string root;
  std::string line;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--root" && i + 1 < argc) {
      root = argv[++i];
    } else {
      line += (line.empty() ? "" : " ") + arg;
    }
  }
  if (root.empty() || line.empty()) Usage("board needs --root DIR and a command");
  try {
    const std::string reply = board::SendRequest(root, line);
    const bool ok = reply == "ok" || reply.rfind("ok ", 0) == 0;
    std::printf("%s\n", ok ? (reply.size() > 3 ? reply.c_str() + 3 : "ok") : reply.c_str());
    return ok ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "torvex board: %s\n", e.what());
    return 1;
  }
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
  if (o.net != "sim" && (o.net.rfind("linux:", 0) != 0 || o.net.size() == 6)) Usage("--net takes sim or linux[:IFNAME]");
  return o;
}

}  // namespace

#if defined(__SANITIZE_THREAD__)
// The firmware's threads run until the power goes: the process ends with them still there, by design.
extern "C" const char* __tsan_default_options() { return "report_thread_leaks=0"; }
#endif

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "board") == 0) return BoardClient(argc, argv);
  g_argv.assign(argv, argv + argc);
  const Options options = ParseOptions(argc, argv);
  // The board starts at the instrument's own 10 ms tick and takes the run's tick (--tick-us, else
  // TORVEX_TICK_US) once the firmware is up. Main's start-up waits (the DSP, then 500 ms for the
  // acquisition) and the first DSP exchanges cover work of the host's threads, which a fast tick does
  // not make faster: on a loaded host a few milliseconds of wall time would not hold it. The fast
  // tick is for the periods of the running firmware.
  const std::uint32_t run_tick_us = options.tick_us != 0 ? static_cast<std::uint32_t>(options.tick_us)
                                                         : platform::kernel::TickMicroseconds();
  platform::kernel::SetTickMicroseconds(kStartUpTickUs);

  {
    std::error_code ec;
    fs::create_directories(options.root, ec);
    std::string lock_error;
    if (!LockRoot(options.root, lock_error)) {
      std::fprintf(stderr, "board: %s\n", lock_error.c_str());
      return 1;
    }
  }
  try {
    PrepareRoot(options.root);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "board: cannot prepare %s: %s\n", options.root.c_str(), e.what());
    return 1;
  }
  platform::SetBoardRoot(options.root);

  const sigset_t signals = ShutdownSignals();

  sim::BoardDescription description;
  std::string error;
  if (!sim::LoadBoardDescription(options.root, description, error)) {
    std::fprintf(stderr, "board: %s\n", error.c_str());
    return 2;
  }
  std::unique_ptr<sim::Board> board;
  try {
    board = std::make_unique<sim::Board>(options.root);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "board: %s\n", e.what());
    return 1;
  }
  board->SetTemperature(description.temperature);
  board->dsp_program().SetCpldVersion({description.cpld_major, description.cpld_minor});
  for (const auto& [path, kind] : description.plugged) {
    if (!board->peripherals().Plug(path, kind, &error)) {
      std::fprintf(stderr, "board: %s: plug %s %s: %s\n", sim::kBoardDescriptionName, path.c_str(), kind.c_str(),
                   error.c_str());
      return 2;
    }
  }
  // The cable of the board's USB device controller, joined to a usbredir guest when asked.
  std::unique_ptr<sim::UsbRedirServer> usbredir;
  if (options.usbredir_port) {
    usbredir = std::make_unique<sim::UsbRedirServer>(
        board->usb(), [](const std::string& line) { std::fprintf(stderr, "board: usbredir: %s\n", line.c_str()); });
    if (!usbredir->Start(static_cast<std::uint16_t>(*options.usbredir_port), &error)) {
      std::fprintf(stderr, "board: usbredir: %s\n", error.c_str());
      return 1;
    }
    std::fprintf(stderr, "board: usbredir on 127.0.0.1:%u\n", static_cast<unsigned>(usbredir->Port()));
  }
  sim::NandFlash::Geometry geometry;
  geometry.block_count = description.flash_blocks;
  sim::NandFlash nand(platform::nand::kFlashDeviceName, geometry, {{0, description.flash_blocks - 1}});
  for (const std::uint32_t block : description.bad_blocks) nand.MarkBad(block);
  nand.Register();
  sim::WatchdogTimer::Instance();

  std::unique_ptr<sim::Network> sim_link;
  std::unique_ptr<platform::net::Backend> linux_link;
  if (options.net == "sim") {
    sim_link = std::make_unique<sim::Network>();
    sim_link->Install();
  } else {
    linux_link = platform::net::MakeLinuxBackend(options.net.substr(6), error);
    if (linux_link == nullptr) {
      std::fprintf(stderr, "board: network: %s\n", error.c_str());
      return 1;
    }
    platform::net::InstallBackend(linux_link.get());
  }

  // On the simulated link every service listens on this machine's loopback only; on a real interface
  // (in a namespace made for the board) on every address, as the instrument's own stack does.
  const bool real_link = options.net != "sim";
  CVxi11ServerOptions vxi11;
  vxi11.portmapper_port = static_cast<std::uint16_t>(options.portmapper_port);
  vxi11.listen_address = real_link ? 0 : 0x7F000001;
  Vxi11SetServerOptions(vxi11);
  Torvex::nbns_set_ports(static_cast<std::uint16_t>(options.nbns_name_port),
                         static_cast<std::uint16_t>(options.nbns_datagram_port));
  Torvex::nbns_set_loopback_only(!real_link);

  platform::bootloader::SetBootCondition(options.boot_condition);
  platform::bootloader::Hooks hooks;
  hooks.reset = [] { Restart(); };
  hooks.firmware_update = [] {
    std::fprintf(stderr, "board: firmware-update mode\n");
    EndProcess(3);
  };
  hooks.power_off = [] {
    std::fprintf(stderr, "board: power off\n");
    EndProcess(0);
  };
  platform::bootloader::SetHooks(hooks);

  drivers_hardware_init();
  drivers_register_devices();
  platform::devtab::InitAll();
  platform::mount("", "/dev", "devfs");  // the device file system is there before main, as on the board

  Torvex::g_Logger.SetMirrorToStderr(options.log_stderr);

  platform::board::SetRunStateListener([run_tick_us](platform::board::RunState state) {
    if (state != platform::board::RunState::kReady) return;
    if (run_tick_us != kStartUpTickUs) platform::kernel::SetTickMicroseconds(run_tick_us);
    std::fprintf(stderr, "board: ready\n");
  });

  board::ControlServer control;
  AddControlCommands(control, *board, sim_link.get());
  if (!control.Start(options.root, error)) {
    std::fprintf(stderr, "board: %s\n", error.c_str());
    EndProcess(1);
  }
  g_control = &control;

  std::thread([&board, signals] {
    for (;;) {
      int sig = 0;
      if (sigwait(&signals, &sig) == 0) PushButton(*board, ShortPush());
    }
  }).detach();

  Torvex::main();
  // The firmware's main never returns while the board runs; if it does, the board ends in the boot
  // loader's firmware-update mode, as a program exit does.
  std::fprintf(stderr, "board: firmware-update mode\n");
  EndProcess(3);
}
