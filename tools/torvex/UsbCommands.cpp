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

std::string UsbCommands::Usbtmc(const std::vector<std::string>& args) {
  if (args.empty()) throw std::invalid_argument(kUsbtmcUsage);
  const std::string& op = args[0];
  const std::size_t n = args.size();
  // SIZE and TERMCHAR of the read operations.
  auto read_options = [&](const char* usage) {
    sim::UsbtmcReadOptions options;
    if (n > 3) throw std::invalid_argument(usage);
    if (n >= 2) options.transfer_size = static_cast<std::uint32_t>(Number(args[1], 1, 0xFFFFFFFFUL, usage));
    if (n == 3) options.term_char = static_cast<std::uint8_t>(Number(args[2], 0, 255, usage));
    return options;
  };
  if (op == "open") {
    if (n != 1) throw std::invalid_argument("usbtmc open takes nothing");
    client_.Close();
    EnsureOpen();
    const sim::UsbtmcEndpoints& e = client_.endpoints();
    const sim::UsbEnumeration& en = client_.enumeration();
    const std::vector<std::uint8_t>& d = en.device_descriptor;
    std::string reply = "vendor=" + Hex(static_cast<unsigned>(d[8] | d[9] << 8), 4) +
                        " product=" + Hex(static_cast<unsigned>(d[10] | d[11] << 8), 4) +
                        " interface=" + std::to_string(e.interface_number) +
                        " protocol=" + std::to_string(e.interface_protocol) +
                        " bulk-out=" + std::to_string(e.bulk_out) + " bulk-in=" + std::to_string(e.bulk_in) +
                        " interrupt-in=" + std::to_string(e.interrupt_in);
    const char* names[] = {"manufacturer", "model", "serial"};
    for (std::size_t i = 0; i < en.strings.size() && i < 3; ++i) {
      reply += std::string(" ") + names[i] + "=\"" + Printable(en.strings[i]) + "\"";
    }
    return reply;
  }
  EnsureOpen();
  if (op == "write" && n >= 2) {
    Check(client_.Write(Join(args, 1)));
    return {};
  }
  if (op == "read") {
    const sim::UsbtmcReadOptions options = read_options("usbtmc read takes [SIZE [TERMCHAR]]");
    std::string data;
    int chunks = 0;
    sim::UsbtmcChunk chunk;
    do {
      Check(client_.ReadChunk(options, &chunk));
      data += chunk.data;
      ++chunks;
      if (chunk.transfer_size == 0 && !chunk.eom) throw std::invalid_argument("usb: empty transfer without EOM");
    } while (!chunk.eom && !(options.term_char.has_value() && chunk.term_char));
    return "chunks=" + std::to_string(chunks) + " eom=" + (chunk.eom ? "1" : "0") +
           " term=" + (chunk.term_char ? "1" : "0") + " data=" + Printable(data);
  }
  if (op == "chunk") {
    const sim::UsbtmcReadOptions options = read_options("usbtmc chunk takes [SIZE [TERMCHAR]]");
    sim::UsbtmcChunk chunk;
    Check(client_.ReadChunk(options, &chunk));
    return "size=" + std::to_string(chunk.transfer_size) + " eom=" + (chunk.eom ? "1" : "0") +
           " term=" + (chunk.term_char ? "1" : "0") + " data=" + Printable(chunk.data);
  }
  if (op == "request" && n <= 2) {
    sim::UsbtmcReadOptions options;
    if (n == 2) options.transfer_size = static_cast<std::uint32_t>(Number(args[1], 1, 0xFFFFFFFFUL, "usbtmc request takes [SIZE]"));
    Check(client_.RequestIn(options));
    return {};
  }
  if (op == "partial" && n >= 3) {
    const std::string message = Join(args, 2);
    const auto bytes = Number(args[1], 0, message.empty() ? 0 : message.size() - 1,
                              "usbtmc partial takes BYTES (fewer than the text's) and TEXT");
    Check(client_.WritePartial(message, bytes));
    return {};
  }
  if (op == "repeat" && (n == 3 || n == 4)) {
    const auto count = Number(args[1], 1, 100000, "usbtmc repeat takes COUNT (1 to 100000) UNIT [LAST]");
    std::string message;
    for (unsigned long i = 0; i < count; ++i) message += (i == 0 ? "" : ";") + args[2];
    if (n == 4) message += ";" + args[3];
    Check(client_.Write(message));
    std::string reply = "bytes=" + std::to_string(message.size());
    if (IsQuery(message)) reply += " reply=" + Printable(ReadReply({}));
    return reply;
  }
  if (op == "trigger" && n == 1) {
    Check(client_.Trigger());
    return {};
  }
  if (op == "abort-out" && n == 1) {
    std::uint32_t received = 0;
    Check(client_.AbortBulkOut(&received));
    return "received=" + std::to_string(received);
  }
  if (op == "abort-in" && n == 1) {
    std::uint32_t sent = 0;
    const sim::UsbtmcResult r = client_.AbortBulkIn(&sent);
    Check(r);
    return "status=" + Hex(r.status, 2) + " sent=" + std::to_string(sent);
  }
  if (op == "clear" && n == 1) {
    Check(client_.Clear());
    return {};
  }
  if (op == "stb" && n == 1) {
    std::uint8_t stb = 0;
    Check(client_.ReadStatusByte(&stb));
    return "stb=" + std::to_string(stb);
  }
  if (op == "srq" && n <= 2) {
    const auto ms = n == 2 ? Number(args[1], 1, 8000, "usbtmc srq takes [MS] (1 to 8000)") : 5000;
    std::uint8_t stb = 0;
    Check(client_.WaitServiceRequest(std::chrono::milliseconds(ms), &stb));
    return "stb=" + std::to_string(stb);
  }
  if (op == "ren" && n == 2 && (args[1] == "on" || args[1] == "off")) {
    Check(client_.RenControl(args[1] == "on"));
    return {};
  }
  if (op == "gtl" && n == 1) {
    Check(client_.GoToLocal());
    return {};
  }
  if (op == "llo" && n == 1) {
    Check(client_.LocalLockout());
    return {};
  }
  if (op == "caps" && n == 1) {
    sim::UsbtmcCapabilities c;
    Check(client_.GetCapabilities(&c));
    return "usbtmc=" + Hex(c.bcd_usbtmc, 4) + " interface=" + std::to_string(c.interface_capabilities) +
           " device=" + std::to_string(c.device_capabilities) + " usb488=" + Hex(c.bcd_usb488, 4) +
           " usb488-interface=" + std::to_string(c.usb488_interface_capabilities) +
           " usb488-device=" + std::to_string(c.usb488_device_capabilities);
  }
  throw std::invalid_argument(kUsbtmcUsage);
}

}  // namespace board
