// The board commands of the control socket (see BoardCommands.h).
#include "BoardCommands.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "UsbCommands.h"
#include "netservices/NetworkConfiguration.h"
#include "platform/board_state.h"
#include "platform/bootloader.h"
#include "platform/kernel.h"
#include "status/CScpiStatus.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace board {
namespace {

std::chrono::microseconds Ticks(cyg_tick_count_t ticks) {
  return std::chrono::microseconds(ticks * platform::kernel::TickMicroseconds());
}

std::chrono::microseconds LongPush() { return Ticks(600); }  // past the long-push limit

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
    dsp.SetReplyDelay(
        id, static_cast<std::uint32_t>(count(2, 3600000, "dsp delay takes ID|all MILLISECONDS (up to 3600000)")));
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

}  // namespace

void PushButton(sim::Board& board, std::chrono::microseconds hold) {
  std::thread([&board, hold] {
    board.PressButton();
    std::this_thread::sleep_for(hold);
    board.ReleaseButton();
  }).detach();
}

// The firmware tells a long push (held 5 s = 500 ticks) from a short one. A short push lasts 20 ticks,
// but at least 150 ms of real time so that a busy host still sees it pressed, and never more than
// half the long-push limit.
std::chrono::microseconds ShortPush() {
  return std::min(std::max(Ticks(20), std::chrono::microseconds(150000)), Ticks(250));
}

// Commands that change the board act once their reply has been sent: what they cause (a power cut,
// a reset) may end the process at once.
void AddControlCommands(ControlServer& server, sim::Board& board, sim::Network* link) {
  server.Add("net", [link](const std::vector<std::string>& args) { return NetCommand(args, link); });
  // The USB host on the other end of the board's cable: lives as long as the process.
  static UsbCommands* usb = new UsbCommands(board);
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

}  // namespace board
