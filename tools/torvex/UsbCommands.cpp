#include "UsbCommands.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace board {

namespace {

std::string Join(const std::vector<std::string>& words, std::size_t from) {
  std::string text;
  for (std::size_t i = from; i < words.size(); ++i) text += (text.empty() ? "" : " ") + words[i];
  return text;
}

// A whole decimal or 0x-prefixed number from `min` to `max`, or the usage as an error.
unsigned long Number(const std::string& text, unsigned long min, unsigned long max, const std::string& usage) {
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || v < min || v > max) {
    throw std::invalid_argument(usage);
  }
  return v;
}

// A program message is a query when a header ends in '?' outside quoted strings.
bool IsQuery(const std::string& message) {
  char quote = 0;
  for (const char c : message) {
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '?') {
      return true;
    }
  }
  return false;
}

// Device bytes made printable on one line: control bytes and bytes above 0x7E as \xHH, '\' as "\\".
std::string Printable(const std::string& data) {
  std::string out;
  for (const char ch : data) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c > 0x7E) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

constexpr const char* kUsbtmcUsage =
    "usbtmc takes open, write TEXT, read [SIZE [TERMCHAR]], chunk [SIZE [TERMCHAR]], request [SIZE], "
    "partial BYTES TEXT, repeat COUNT UNIT [LAST], trigger, abort-out, abort-in, clear, stb, srq [MS], "
    "ren on|off, gtl, llo or caps";

}  // namespace

void UsbCommands::Check(const sim::UsbtmcResult& result) {
  if (!result.ok()) throw std::invalid_argument("usb: " + result.Describe());
}

void UsbCommands::EnsureOpen() {
  const std::uint64_t attached = board_.UsbAttachCount();
  if (!board_.usb().Attached()) {
    throw std::invalid_argument(
        "usb: the device is not on the bus (the USB module is off: SYSTem:COMMunicate:USBTmc ON, "
        "settings node comm_parms/usbtmc/enabled)");
  }
  if (client_.IsOpen() && attached == opened_at_attach_) return;
  client_.Close();
  Check(client_.Open(1));
  opened_at_attach_ = attached;
}

std::string UsbCommands::ReadReply(const sim::UsbtmcReadOptions& options) {
  std::string reply;
  Check(client_.Read(&reply, options));
  return reply;
}

std::string UsbCommands::Usb(const std::vector<std::string>& args) {
  const std::string message = Join(args, 0);
  if (message.empty()) throw std::invalid_argument("usb takes the SCPI text to send");
  EnsureOpen();
  Check(client_.Write(message));
  if (!IsQuery(message)) return {};
  std::string reply = ReadReply({});
  while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\0')) reply.pop_back();
  return reply;
}

namespace {

// SIZE and TERMCHAR of the read operations (args[1] and args[2]).
sim::UsbtmcReadOptions ReadOptions(const std::vector<std::string>& args, const char* usage) {
  const std::size_t n = args.size();
  sim::UsbtmcReadOptions options;
  if (n > 3) throw std::invalid_argument(usage);
  if (n >= 2) options.transfer_size = static_cast<std::uint32_t>(Number(args[1], 1, 0xFFFFFFFFUL, usage));
  if (n == 3) options.term_char = static_cast<std::uint8_t>(Number(args[2], 0, 255, usage));
  return options;
}

const char* Flag(bool on) { return on ? "1" : "0"; }

}  // namespace

// One row per operation: its name, the words it takes (the name counted), whether it opens the device
// itself, and what runs it. Rows whose handler checks its own words say so with kAnyCount.
const UsbCommands::UsbtmcOperation UsbCommands::kUsbtmcOperations[] = {
    {"open", 1, kAnyCount, false, &UsbCommands::UsbtmcOpen},
    {"write", 2, kAnyCount, true, &UsbCommands::UsbtmcWrite},
    {"read", 1, kAnyCount, true, &UsbCommands::UsbtmcRead},
    {"chunk", 1, kAnyCount, true, &UsbCommands::UsbtmcChunk},
    {"request", 1, 2, true, &UsbCommands::UsbtmcRequest},
    {"partial", 3, kAnyCount, true, &UsbCommands::UsbtmcPartial},
    {"repeat", 3, 4, true, &UsbCommands::UsbtmcRepeat},
    {"trigger", 1, 1, true, &UsbCommands::UsbtmcTrigger},
    {"abort-out", 1, 1, true, &UsbCommands::UsbtmcAbortOut},
    {"abort-in", 1, 1, true, &UsbCommands::UsbtmcAbortIn},
    {"clear", 1, 1, true, &UsbCommands::UsbtmcClear},
    {"stb", 1, 1, true, &UsbCommands::UsbtmcStatusByte},
    {"srq", 1, 2, true, &UsbCommands::UsbtmcServiceRequest},
    {"ren", 2, 2, true, &UsbCommands::UsbtmcRen},
    {"gtl", 1, 1, true, &UsbCommands::UsbtmcGoToLocal},
    {"llo", 1, 1, true, &UsbCommands::UsbtmcLocalLockout},
    {"caps", 1, 1, true, &UsbCommands::UsbtmcCapabilities},
};

std::string UsbCommands::Usbtmc(const std::vector<std::string>& args) {
  if (args.empty()) throw std::invalid_argument(kUsbtmcUsage);
  const UsbtmcOperation* operation = nullptr;
  for (const UsbtmcOperation& row : kUsbtmcOperations) {
    if (args[0] == row.name) operation = &row;
  }
  // Every operation but open talks to an open device; an unknown one is refused after the device
  // check, so that a device that is off says so first.
  if (operation == nullptr || operation->needs_open) EnsureOpen();
  if (operation == nullptr || args.size() < operation->min_words || args.size() > operation->max_words) {
    throw std::invalid_argument(kUsbtmcUsage);
  }
  return (this->*operation->run)(args);
}

std::string UsbCommands::UsbtmcOpen(const std::vector<std::string>& args) {
  if (args.size() != 1) throw std::invalid_argument("usbtmc open takes nothing");
  client_.Close();
  EnsureOpen();
  const sim::UsbtmcEndpoints& e = client_.endpoints();
  const sim::UsbEnumeration& en = client_.enumeration();
  const std::vector<std::uint8_t>& d = en.device_descriptor;
  std::string reply = "vendor=" + Hex(static_cast<unsigned>(d[8] | d[9] << 8), 4) +
                      " product=" + Hex(static_cast<unsigned>(d[10] | d[11] << 8), 4) +
                      " interface=" + std::to_string(e.interface_number) +
                      " protocol=" + std::to_string(e.interface_protocol) + " bulk-out=" + std::to_string(e.bulk_out) +
                      " bulk-in=" + std::to_string(e.bulk_in) + " interrupt-in=" + std::to_string(e.interrupt_in);
  const char* names[] = {"manufacturer", "model", "serial"};
  for (std::size_t i = 0; i < en.strings.size() && i < 3; ++i) {
    reply += std::string(" ") + names[i] + "=\"" + Printable(en.strings[i]) + "\"";
  }
  return reply;
}

std::string UsbCommands::UsbtmcWrite(const std::vector<std::string>& args) {
  Check(client_.Write(Join(args, 1)));
  return {};
}

std::string UsbCommands::UsbtmcRead(const std::vector<std::string>& args) {
  const sim::UsbtmcReadOptions options = ReadOptions(args, "usbtmc read takes [SIZE [TERMCHAR]]");
  std::string data;
  int chunks = 0;
  sim::UsbtmcChunk chunk;
  do {
    Check(client_.ReadChunk(options, &chunk));
    data += chunk.data;
    ++chunks;
    if (chunk.transfer_size == 0 && !chunk.eom) throw std::invalid_argument("usb: empty transfer without EOM");
  } while (!chunk.eom && !(options.term_char.has_value() && chunk.term_char));
  return "chunks=" + std::to_string(chunks) + " eom=" + Flag(chunk.eom) + " term=" + Flag(chunk.term_char) +
         " data=" + Printable(data);
}

std::string UsbCommands::UsbtmcChunk(const std::vector<std::string>& args) {
  const sim::UsbtmcReadOptions options = ReadOptions(args, "usbtmc chunk takes [SIZE [TERMCHAR]]");
  sim::UsbtmcChunk chunk;
  Check(client_.ReadChunk(options, &chunk));
  return "size=" + std::to_string(chunk.transfer_size) + " eom=" + Flag(chunk.eom) + " term=" + Flag(chunk.term_char) +
         " data=" + Printable(chunk.data);
}

std::string UsbCommands::UsbtmcRequest(const std::vector<std::string>& args) {
  sim::UsbtmcReadOptions options;
  if (args.size() == 2) {
    options.transfer_size = static_cast<std::uint32_t>(Number(args[1], 1, 0xFFFFFFFFUL, "usbtmc request takes [SIZE]"));
  }
  Check(client_.RequestIn(options));
  return {};
}

std::string UsbCommands::UsbtmcPartial(const std::vector<std::string>& args) {
  const std::string message = Join(args, 2);
  const auto bytes = Number(args[1], 0, message.empty() ? 0 : message.size() - 1,
                            "usbtmc partial takes BYTES (fewer than the text's) and TEXT");
  Check(client_.WritePartial(message, bytes));
  return {};
}

std::string UsbCommands::UsbtmcRepeat(const std::vector<std::string>& args) {
  const auto count = Number(args[1], 1, 100000, "usbtmc repeat takes COUNT (1 to 100000) UNIT [LAST]");
  std::string message;
  for (unsigned long i = 0; i < count; ++i) message += (i == 0 ? "" : ";") + args[2];
  if (args.size() == 4) message += ";" + args[3];
  Check(client_.Write(message));
  std::string reply = "bytes=" + std::to_string(message.size());
  if (IsQuery(message)) reply += " reply=" + Printable(ReadReply({}));
  return reply;
}

std::string UsbCommands::UsbtmcTrigger(const std::vector<std::string>&) {
  Check(client_.Trigger());
  return {};
}

std::string UsbCommands::UsbtmcAbortOut(const std::vector<std::string>&) {
  std::uint32_t received = 0;
  Check(client_.AbortBulkOut(&received));
  return "received=" + std::to_string(received);
}

std::string UsbCommands::UsbtmcAbortIn(const std::vector<std::string>&) {
  std::uint32_t sent = 0;
  const sim::UsbtmcResult r = client_.AbortBulkIn(&sent);
  Check(r);
  return "status=" + Hex(r.status, 2) + " sent=" + std::to_string(sent);
}

std::string UsbCommands::UsbtmcClear(const std::vector<std::string>&) {
  Check(client_.Clear());
  return {};
}

std::string UsbCommands::UsbtmcStatusByte(const std::vector<std::string>&) {
  std::uint8_t stb = 0;
  Check(client_.ReadStatusByte(&stb));
  return "stb=" + std::to_string(stb);
}

std::string UsbCommands::UsbtmcServiceRequest(const std::vector<std::string>& args) {
  const auto ms = args.size() == 2 ? Number(args[1], 1, 8000, "usbtmc srq takes [MS] (1 to 8000)") : 5000;
  std::uint8_t stb = 0;
  Check(client_.WaitServiceRequest(std::chrono::milliseconds(ms), &stb));
  return "stb=" + std::to_string(stb);
}

std::string UsbCommands::UsbtmcRen(const std::vector<std::string>& args) {
  if (args[1] != "on" && args[1] != "off") throw std::invalid_argument(kUsbtmcUsage);
  Check(client_.RenControl(args[1] == "on"));
  return {};
}

std::string UsbCommands::UsbtmcGoToLocal(const std::vector<std::string>&) {
  Check(client_.GoToLocal());
  return {};
}

std::string UsbCommands::UsbtmcLocalLockout(const std::vector<std::string>&) {
  Check(client_.LocalLockout());
  return {};
}

std::string UsbCommands::UsbtmcCapabilities(const std::vector<std::string>&) {
  sim::UsbtmcCapabilities c;
  Check(client_.GetCapabilities(&c));
  return "usbtmc=" + Hex(c.bcd_usbtmc, 4) + " interface=" + std::to_string(c.interface_capabilities) +
         " device=" + std::to_string(c.device_capabilities) + " usb488=" + Hex(c.bcd_usb488, 4) +
         " usb488-interface=" + std::to_string(c.usb488_interface_capabilities) +
         " usb488-device=" + std::to_string(c.usb488_device_capabilities);
}

}  // namespace board
