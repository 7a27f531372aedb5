// The whole firmware over USB: a host with the usbtmc driver's behaviour (the board's "usb" and
// "usbtmc" commands) on the other end of the simulated cable, with the USB module on as the factory
// settings have it. Messages and replies, chunked and TermChar reads, TRIGGER, the abort and clear
// sequences, the status byte and service requests, the remote/local requests, the module switched
// off and on from the network side, and a recall that switches VXI-11 off and on again.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "firmware_process.h"
#include "support/free_port.h"
#include "support/wait_for.h"

namespace {

using namespace std::chrono_literals;
using torvex_test::FirmwareProcess;
using torvex_test::WaitFor;

// A VXI-11 link over ONC RPC on TCP, just enough to send a message from the network side.
class Vxi11Link {
 public:
  ~Vxi11Link() { Close(); }

  bool Open(std::uint16_t portmapper_port) {
    Close();
    if (!Connect(portmapper_port)) return false;
    std::vector<std::uint8_t> args;
    for (std::uint32_t w : {0x0607AFu, 1u, 6u, 0u}) Put(&args, w);
    std::vector<std::uint8_t> reply;
    const bool mapped = Call(100000, 2, 3, args, &reply) && reply.size() >= 4;
    ::close(fd_);
    fd_ = -1;
    const std::uint32_t port = mapped ? Get(reply, 0) : 0;
    if (port == 0 || port > 65535 || !Connect(static_cast<std::uint16_t>(port))) return false;
    args.clear();
    for (std::uint32_t w : {1u, 0u, 3000u}) Put(&args, w);
    PutOpaque(&args, "inst0");
    if (!Call(0x0607AF, 1, 10, args, &reply) || reply.size() < 8 || Get(reply, 0) != 0) return false;
    link_ = Get(reply, 4);
    return true;
  }

  bool Write(const std::string& text) {
    std::vector<std::uint8_t> args;
    for (std::uint32_t w : {link_, 5000u, 5000u, 8u}) Put(&args, w);  // flags: END
    PutOpaque(&args, text);
    std::vector<std::uint8_t> reply;
    return Call(0x0607AF, 1, 11, args, &reply) && reply.size() >= 8 && Get(reply, 0) == 0 &&
           Get(reply, 4) == text.size();
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  static void Put(std::vector<std::uint8_t>* out, std::uint32_t w) {
    for (int s = 24; s >= 0; s -= 8) out->push_back(static_cast<std::uint8_t>(w >> s));
  }
  static std::uint32_t Get(const std::vector<std::uint8_t>& in, std::size_t at) {
    return static_cast<std::uint32_t>(in[at]) << 24 | in[at + 1] << 16 | in[at + 2] << 8 | in[at + 3];
  }
  static void PutOpaque(std::vector<std::uint8_t>* out, const std::string& s) {
    Put(out, static_cast<std::uint32_t>(s.size()));
    out->insert(out->end(), s.begin(), s.end());
    while (out->size() % 4 != 0) out->push_back(0);
  }
  bool Connect(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  bool Receive(std::uint8_t* out, std::size_t n) {
    for (std::size_t done = 0; done < n;) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) return false;
      const ssize_t got = ::recv(fd_, out + done, n - done, 0);
      if (got <= 0) return false;
      done += static_cast<std::size_t>(got);
    }
    return true;
  }
  // One call; `results` gets what follows the accepted reply's header.
  bool Call(std::uint32_t prog, std::uint32_t vers, std::uint32_t proc, const std::vector<std::uint8_t>& args,
            std::vector<std::uint8_t>* results) {
    std::vector<std::uint8_t> m;
    Put(&m, 0);  // record mark, filled below
    for (std::uint32_t w : {++xid_, 0u, 2u, prog, vers, proc, 0u, 0u, 0u, 0u}) Put(&m, w);
    m.insert(m.end(), args.begin(), args.end());
    const auto mark = static_cast<std::uint32_t>(0x80000000u | (m.size() - 4));
    for (int i = 0; i < 4; ++i) m[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(mark >> (24 - 8 * i));
    if (::send(fd_, m.data(), m.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(m.size())) return false;
    std::vector<std::uint8_t> record;
    for (bool last = false; !last;) {
      std::uint8_t h[4];
      if (!Receive(h, 4)) return false;
      const std::uint32_t word = static_cast<std::uint32_t>(h[0]) << 24 | h[1] << 16 | h[2] << 8 | h[3];
      last = (word & 0x80000000u) != 0;
      const std::size_t n = word & 0x7FFFFFFFu;
      if (n > (1u << 20)) return false;
      const std::size_t at = record.size();
      record.resize(at + n);
      if (n > 0 && !Receive(record.data() + at, n)) return false;
    }
    // xid, REPLY, MSG_ACCEPTED, verifier (flavour, length, body), SUCCESS.
    if (record.size() < 24 || Get(record, 4) != 1 || Get(record, 8) != 0) return false;
    const std::size_t verifier = (Get(record, 16) + 3) & ~3u;
    const std::size_t at = 20 + verifier;
    if (record.size() < at + 4 || Get(record, at) != 0) return false;
    results->assign(record.begin() + static_cast<std::ptrdiff_t>(at + 4), record.end());
    return true;
  }

  int fd_ = -1;
  std::uint32_t xid_ = 0x5500;
  std::uint32_t link_ = 0;
};

std::size_t CountEntries(const std::string& folder) {
  std::size_t n = 0;
  if (DIR* d = ::opendir(folder.c_str())) {
    while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n;
}

constexpr unsigned kUsbTickUs = 10000;

class UsbFirmware : public ::testing::Test {
 protected:
  void SetUp() override {
    portmapper_ = torvex_test::FreeLoopbackPort();
    ASSERT_NE(portmapper_, 0);
    // The instrument's own 10 ms tick, so 1 ms USB frames: the host's control-transfer limits (50
    // frames for a status stage) are then those of a real bus, which a slow (sanitised) firmware meets.
    fw_.Start({"--portmapper-port", std::to_string(portmapper_), "--nbns-ports", "0,0"}, kUsbTickUs);
    ASSERT_TRUE(fw_.WaitForOutput("board: ready")) << fw_.Output();
    ASSERT_TRUE(WaitForUsb()) << Usb("*IDN?") << "\n" << fw_.Output();
    idn_ = Usb("*IDN?");
  }

  // The board command with the SCPI text quoted for the shell.
  std::string Usb(const std::string& text) { return fw_.Board("usb '" + text + "'"); }
  std::string Tmc(const std::string& operation) { return fw_.Board("usbtmc " + operation); }

  // Until the device enumerates and answers (the module may connect after "board: ready").
  bool WaitForUsb(std::chrono::milliseconds limit = 30s) {
    return WaitFor([this] { return Usb("*IDN?").find(',') != std::string::npos; }, limit);
  }

  FirmwareProcess fw_;
  std::uint16_t portmapper_ = 0;
  std::string idn_;
};

TEST_F(UsbFirmware, EnumeratesAsAUsb488InterfaceAndAnswersIdn) {
  const std::string open = Tmc("open");
  EXPECT_NE(open.find("protocol=1"), std::string::npos) << open;
  EXPECT_NE(open.find("interrupt-in="), std::string::npos) << open;
  EXPECT_EQ(open.find("interrupt-in=0"), std::string::npos) << open;
  // Manufacturer, model, serial number and versions.
  EXPECT_TRUE(std::regex_match(idn_, std::regex("[^,]+,[^,]+,[^,]+,[^,]+"))) << idn_;
  EXPECT_EQ(Usb("*IDN?"), idn_);
  // The interface capabilities; trigger on (the application enables it), SR1 always.
  const std::string caps = Tmc("caps");
  EXPECT_NE(caps.find("usbtmc=0x0100 interface=0 device=1 usb488=0x0100 usb488-interface=7"), std::string::npos)
      << caps;
  EXPECT_NE(caps.find("usb488-device=5"), std::string::npos) << caps;
}

TEST_F(UsbFirmware, ATenThousandByteMessageArrivesWhole) {
  // 1999 units of "*CLS;" and a final "*IDN?": 10000 bytes, more than two of the engine's buffers.
  const std::string reply = Tmc("repeat 1999 '*CLS' '*IDN?'");
  EXPECT_EQ(reply, "bytes=10000 reply=" + idn_ + "\\x0A");
  EXPECT_EQ(Usb("SYST:ERR?").substr(0, 2), "0,") << fw_.Output();
}

TEST_F(UsbFirmware, ALongReplyArrivesWholeOverSeveralTransfers) {
  // The factory settings file, some 12 KB: three times the engine's output buffer.
  const std::string file = fw_.ReadFile("romfs/factory.xml");
  ASSERT_GT(file.size(), 8192u);
  EXPECT_EQ(Usb("MMEM:DATA? \"/romfs/factory.xml\"") + "\n", file);
}

TEST_F(UsbFirmware, ABoardRequestLongerThanTheControlLineIsRefusedNotCutShort) {
  // 5000 bytes of "UNIT MT;" cut at 4096 would leave a broken unit that the firmware would execute.
  std::string message;
  while (message.size() < 5000) message += "UNIT MT;";
  message += "UNIT?";
  const std::string reply = Usb(message);
  EXPECT_EQ(reply.rfind("error", 0), 0u) << reply.substr(0, 200);
  EXPECT_EQ(Usb("SYST:ERR?").substr(0, 2), "0,");
  EXPECT_EQ(Usb("UNIT?"), "T");
}

TEST_F(UsbFirmware, RepliesAreReadInChunksOfTransferSize100) {
  // The unit list: some 450 bytes.
  const std::string whole = Usb("UNIT:ALL?");
  ASSERT_GT(whole.size(), 300u) << whole;
  ASSERT_EQ(Tmc("write 'UNIT:ALL?'"), "ok");
  std::string joined;
  for (int i = 0;; ++i) {
    ASSERT_LT(i, 10);
    const std::string chunk = Tmc("chunk 100");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(chunk, m, std::regex("size=(\\d+) eom=([01]) term=0 data=(.*)"))) << chunk;
    joined += m[3].str();
    if (m[2] == "1") break;
    EXPECT_EQ(m[1], "100");
  }
  EXPECT_EQ(joined, whole + "\\x0A");
  // The same through the reading loop: ceil(length / 100) transfers.
  ASSERT_EQ(Tmc("write 'UNIT:ALL?'"), "ok");
  const std::size_t chunks = (whole.size() + 1 + 99) / 100;
  EXPECT_EQ(Tmc("read 100"), "chunks=" + std::to_string(chunks) + " eom=1 term=0 data=" + whole + "\\x0A");
}

TEST_F(UsbFirmware, ATermCharEndsTheTransferAfterIt) {
  ASSERT_EQ(Tmc("write '*IDN?'"), "ok");
  const std::string first = Tmc("read 4096 44");  // ','
  const std::string manufacturer = idn_.substr(0, idn_.find(',') + 1);
  EXPECT_EQ(first, "chunks=1 eom=0 term=1 data=" + manufacturer);
  const std::string rest = Tmc("read");
  EXPECT_EQ(rest, "chunks=1 eom=1 term=0 data=" + idn_.substr(manufacturer.size()) + "\\x0A");
}

TEST_F(UsbFirmware, ATriggerReachesTheApplication) {
  ASSERT_EQ(Usb("*CLS"), "ok");
  ASSERT_EQ(Tmc("trigger"), "ok");
  // No measurement waits for a bus trigger: the application reports the trigger as an error.
  std::string error;
  ASSERT_TRUE(WaitFor([&] { return (error = Usb("SYST:ERR?")).rfind("0,", 0) != 0; }, 10s)) << error;
  EXPECT_EQ(error, "-210,\"Trigger error\"");
  EXPECT_EQ(Usb("*IDN?"), idn_);
}

TEST_F(UsbFirmware, AbortingAMessageHalfwayThenAClearLeavesTheDeviceReadyForTheNext) {
  // A header announcing 99 bytes and the first 52 of them: one full packet, so the device waits for
  // the rest of the transfer until the host aborts it.
  std::string message = "*CLS";
  for (int i = 1; i < 20; ++i) message += ";*CLS";
  ASSERT_EQ(Tmc("partial 52 '" + message + "'"), "ok");
  const std::string abort = Tmc("abort-out");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(abort, m, std::regex("received=(\\d+)"))) << abort;
  EXPECT_LE(std::stoul(m[1]), 52u);
  // What reached the engine is the start of a message without its end: a device clear drops it.
  ASSERT_EQ(Tmc("clear"), "ok");
  EXPECT_EQ(Usb("*IDN?"), idn_) << fw_.Output();
  // Nothing in progress: the device says so.
  EXPECT_EQ(Tmc("abort-out"), "error usb: INITIATE_ABORT_BULK_OUT: USBTMC status 0x80");
}

TEST_F(UsbFirmware, AbortingARequestThatGetsNoReplyEndsTheHostsReadWithAShortTransfer) {
  ASSERT_EQ(Tmc("write '*CLS'"), "ok");
  ASSERT_EQ(Tmc("request 20"), "ok");
  EXPECT_EQ(Tmc("abort-in"), "status=0x01 sent=0");
  EXPECT_EQ(Usb("*IDN?"), idn_) << fw_.Output();
  // Nothing in progress: the device says so, and that is no failure.
  EXPECT_EQ(Tmc("abort-in"), "status=0x80 sent=0");
}

TEST_F(UsbFirmware, AbortingAResponseInFlightDropsItAndTheNextQueryGetsItsOwnReply) {
  // The first 20 bytes of the unit list wait in the bulk-IN FIFO when the host aborts: the device
  // ends the transfer with a short packet (never a stall, which would fail the usbtmc driver's
  // abort) and reports the bytes the host took; the next query gets its own reply.
  ASSERT_EQ(Tmc("write 'UNIT:ALL?'"), "ok");
  ASSERT_EQ(Tmc("request 20"), "ok");
  const std::string abort = Tmc("abort-in");
  EXPECT_EQ(abort.rfind("status=0x01 sent=", 0), 0u) << abort;
  EXPECT_EQ(Usb("*IDN?"), idn_) << fw_.Output();
}

TEST_F(UsbFirmware, AClearEndsAReadRequestThatNothingAnswersAndTheDeviceAnswersAfresh) {
  // A read request after a command without reply, and after a query that fails: the device has
  // nothing to send, and the host's clear must still end the request and bring the device back.
  for (const char* message : {"*CLS", "NO:SUCH:COMMAND?"}) {
    SCOPED_TRACE(message);
    ASSERT_EQ(Tmc(std::string("write '") + message + "'"), "ok");
    ASSERT_EQ(Tmc("request 20"), "ok");
    EXPECT_EQ(Tmc("clear"), "ok") << fw_.Output();
    EXPECT_EQ(Usb("*IDN?"), idn_) << fw_.Output();
  }
}

TEST_F(UsbFirmware, AQueryThatGetsNoReplyTimesOutAndTheNextCommandIsAnswered) {
  // A syntax error and a command sent as a query: nothing answers the host's read, which times out;
  // the host then ends its request and the device takes the next message.
  for (const char* query : {"NO:SUCH:COMMAND?", "*CLS?"}) {
    SCOPED_TRACE(query);
    const std::string reply = Usb(query);
    EXPECT_NE(reply.find("timeout"), std::string::npos) << reply;
    EXPECT_EQ(Usb("*IDN?"), idn_) << fw_.Output();
  }
  EXPECT_NE(Usb("SYST:ERR?").rfind("0,", 0), 0u);
}

TEST_F(UsbFirmware, AMessageOfOneTransferBeyondTheInputBoundIsTakenAndRefused) {
  // Just over 1 MiB in one DEV_DEP_MSG_OUT: the device reads it all, drops the message as longer
  // than the input bound and answers the next one.
  EXPECT_EQ(Tmc("repeat 70000 '*CLS;*CLS;*CLS'"), "bytes=1049999") << fw_.Output();
  EXPECT_EQ(Usb("SYST:ERR?"), "-363,\"Input buffer overrun\"");
  EXPECT_EQ(Usb("*IDN?"), idn_);
  // Within the bound a long message of one transfer runs whole and is answered (12000 commands: a
  // longer one takes the parser longer than the host waits for the reply on a slow build).
  EXPECT_EQ(Tmc("repeat 4000 '*CLS;*CLS;*CLS' '*IDN?'"), "bytes=60005 reply=" + idn_ + "\\x0A");
  EXPECT_EQ(Usb("SYST:ERR?").substr(0, 2), "0,");
}

TEST_F(UsbFirmware, AClearDropsTheUnreadReplyAndTheDeviceAnswersAfresh) {
  ASSERT_EQ(Tmc("write '*IDN?'"), "ok");
  ASSERT_EQ(Tmc("clear"), "ok");
  EXPECT_EQ(Usb("*IDN?"), idn_) << fw_.Output();
  // A clear in the middle of a message.
  ASSERT_EQ(Tmc("partial 3 '*IDN?'"), "ok");
  ASSERT_EQ(Tmc("clear"), "ok");
  EXPECT_EQ(Usb("*IDN?"), idn_) << fw_.Output();
}

TEST_F(UsbFirmware, TheStatusByteAndAServiceRequestComeOnInterruptIn) {
  ASSERT_EQ(Usb("*CLS"), "ok");
  EXPECT_EQ(Tmc("stb"), "stb=0");
  // Operation complete sets ESR bit 0; with *ESE 1 it sets ESB (0x20) and with *SRE 32 a service
  // request (0x40) follows.
  ASSERT_EQ(Usb("*ESE 1;*SRE 32"), "ok");
  ASSERT_EQ(Usb("*OPC"), "ok");
  const std::string srq = Tmc("srq 8000");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(srq, m, std::regex("stb=(\\d+)"))) << srq << "\n" << fw_.Output();
  EXPECT_EQ(std::stoul(m[1]) & 0x60u, 0x60u) << srq;
  const std::string stb = Tmc("stb");
  ASSERT_TRUE(std::regex_match(stb, m, std::regex("stb=(\\d+)"))) << stb;
  EXPECT_EQ(std::stoul(m[1]) & 0x20u, 0x20u) << stb;
  ASSERT_EQ(Usb("*CLS"), "ok");
  EXPECT_EQ(Tmc("stb"), "stb=0");
}

TEST_F(UsbFirmware, RemoteLocalRequestsAreAcceptedInEveryStateWithMessagesBetween) {
  // The application does not enable remote/local reporting for USB (RL1 stays off, see the
  // capabilities): the requests are answered and the state moves, but no message is disturbed.
  const std::vector<std::string> steps = {"ren on", "-",   "llo", "-",      "gtl", "-", "llo",    "ren off",
                                          "-",      "gtl", "llo", "ren on", "gtl", "-", "ren off"};
  for (const std::string& step : steps) {
    SCOPED_TRACE(step);
    if (step == "-") {
      EXPECT_EQ(Usb("*IDN?"), idn_);
    } else {
      EXPECT_EQ(Tmc(step), "ok");
    }
  }
  EXPECT_NE(Tmc("caps").find("usb488-device=5"), std::string::npos);
}

TEST_F(UsbFirmware, TheModuleSwitchedOffAndOnFromTheNetworkLeavesNothingBehind) {
  ASSERT_TRUE(fw_.WaitForOutput("Starting the TCP/IP SCPI module", 30s)) << fw_.Output();
  Vxi11Link link;
  ASSERT_TRUE(WaitFor([&] { return link.Open(portmapper_); }, 20s)) << fw_.Output();
  const std::string proc = "/proc/" + std::to_string(fw_.Pid());
  std::size_t threads = 0;
  std::size_t descriptors = 0;
  for (int cycle = 1; cycle <= 4; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    ASSERT_TRUE(link.Write("SYST:COMM:USBT OFF"));
    ASSERT_TRUE(fw_.WaitForCount("Stopping USB SCPI module.", cycle)) << fw_.Output();
    ASSERT_TRUE(WaitFor([&] { return Usb("*IDN?").find("not on the bus") != std::string::npos; }, 10s));
    ASSERT_TRUE(link.Write("SYST:COMM:USBT ON"));
    ASSERT_TRUE(fw_.WaitForCount("Starting the USB SCPI module", cycle + 1)) << fw_.Output();
    ASSERT_TRUE(WaitForUsb());
    EXPECT_EQ(Usb("*IDN?"), idn_);
    if (cycle == 1) {
      threads = CountEntries(proc + "/task");
      descriptors = CountEntries(proc + "/fd");
      continue;
    }
    // Threads and descriptors of the stopped module are gone, whatever else comes and goes.
    EXPECT_TRUE(WaitFor([&] { return CountEntries(proc + "/task") <= threads; }, 10s))
        << CountEntries(proc + "/task") << " threads, " << threads << " after the first cycle";
    EXPECT_TRUE(WaitFor([&] { return CountEntries(proc + "/fd") <= descriptors; }, 10s))
        << CountEntries(proc + "/fd") << " descriptors, " << descriptors << " after the first cycle";
  }
  // A client cannot switch off the interface it talks over.
  ASSERT_EQ(Usb("SYST:COMM:USBT OFF"), "ok");
  EXPECT_EQ(Usb("SYST:ERR?"), "-221,\"Settings conflict\"");
  EXPECT_EQ(Usb("*IDN?"), idn_);
}

TEST_F(UsbFirmware, ARecallOverUsbSwitchesVxi11OffAndOnAgain) {
  ASSERT_TRUE(fw_.WaitForOutput("Starting the TCP/IP SCPI module", 30s)) << fw_.Output();
  ASSERT_EQ(Usb("MMEM:STOR 0,\"vxi_on\",COMM"), "ok");
  ASSERT_EQ(Usb("SYST:COMM:VXI11 OFF"), "ok");
  ASSERT_TRUE(fw_.WaitForOutput("Stopping TCP/IP SCPI module.")) << fw_.Output();
  ASSERT_EQ(Usb("MMEM:STOR 0,\"vxi_off\",COMM"), "ok");
  ASSERT_EQ(Usb("SYST:ERR?").substr(0, 2), "0,");
  // Communication settings take effect through a restart of the firmware.
  const int starts = fw_.CountOutput("Starting the TCP/IP SCPI module");
  ASSERT_EQ(Usb("MMEM:LOAD 0,\"/yaffs/settings/comm_parms/vxi_off\""), "ok");
  ASSERT_TRUE(fw_.WaitForCount("board: ready", 2, 60s)) << fw_.Output();
  ASSERT_TRUE(WaitForUsb()) << fw_.Output();
  EXPECT_EQ(Usb("SYST:COMM:VXI11?"), "0");
  EXPECT_EQ(fw_.CountOutput("Starting the TCP/IP SCPI module"), starts);
  ASSERT_EQ(Usb("MMEM:LOAD 0,\"/yaffs/settings/comm_parms/vxi_on\""), "ok");
  ASSERT_TRUE(fw_.WaitForCount("board: ready", 3, 60s)) << fw_.Output();
  ASSERT_TRUE(WaitForUsb()) << fw_.Output();
  EXPECT_EQ(Usb("SYST:COMM:VXI11?"), "1");
  EXPECT_TRUE(fw_.WaitForCount("Starting the TCP/IP SCPI module", starts + 1, 30s)) << fw_.Output();
  Vxi11Link link;
  EXPECT_TRUE(WaitFor([&] { return link.Open(portmapper_); }, 20s)) << fw_.Output();
}

}  // namespace
