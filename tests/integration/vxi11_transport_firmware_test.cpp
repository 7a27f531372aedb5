// The whole firmware's VXI-11 transport and portmapper under careless and hostile clients. In each
// test a well-behaved client (vxi11_test::Watcher) keeps asking "*IDN?" while another client
// misbehaves, and after it has gone; every one of its queries must be answered within its time-out
// with the identity. Each test prints what the well-behaved client saw (queries, slowest answer).
//
// The misbehaviours: a client that pipelines calls and never reads the replies; portmapper clients
// over TCP that stay idle, trickle a call byte by byte, or pipeline calls without reading; more
// connections than the instrument serves; and, on the simulated link, clients that try the host's own
// network address instead of the loopback.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "firmware_process.h"
#include "support/free_port.h"
#include "support/process_stats.h"
#include "support/vxi11_session.h"
#include "support/wait_for.h"

namespace {

using namespace std::chrono_literals;
using torvex_test::FirmwareProcess;
using torvex_test::WaitFor;
using vxi11_test::ArgWords;
using vxi11_test::Bytes;
using vxi11_test::Call;
using vxi11_test::CallSpec;
using vxi11_test::Get;
using vxi11_test::Put;
using vxi11_test::RawClient;
using vxi11_test::Session;
using vxi11_test::Watcher;

// A record-marked record of `message`, as it goes on the wire.
Bytes Record(const Bytes& message) {
  Bytes out;
  Put(&out, 0x80000000u | static_cast<std::uint32_t>(message.size()));
  out.insert(out.end(), message.begin(), message.end());
  return out;
}

Bytes PortMapperGetPortCall() {
  CallSpec spec;
  spec.prog = vxi11_test::kPortMapperProgram;
  spec.vers = 2;
  spec.proc = 3;
  return Call(spec, ArgWords({vxi11_test::kCoreProgram, 1, 6, 0}));
}

// What a client that sends without reading achieved.
struct Flood {
  long records = 0;    // records sent whole
  bool ended = false;  // the peer ended the connection
};

// Sends `record` again and again without reading anything, until the connection takes nothing more
// for `quiet` (the peer waits to send what we do not read, and so reads no more) or the peer ends it.
Flood FloodWithoutReading(int fd, const Bytes& record, std::chrono::milliseconds quiet = 3s) {
  Flood flood;
  std::size_t offset = 0;
  auto last_progress = std::chrono::steady_clock::now();
  const auto give_up = last_progress + 120s;
  while (std::chrono::steady_clock::now() < give_up) {
    const ssize_t n = send(fd, record.data() + offset, record.size() - offset, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      last_progress = std::chrono::steady_clock::now();
      offset += static_cast<std::size_t>(n);
      if (offset == record.size()) {
        offset = 0;
        ++flood.records;
      }
      continue;
    }
    if (n == -1 && errno != EAGAIN && errno != EWOULDBLOCK) {
      flood.ended = true;
      return flood;
    }
    if (std::chrono::steady_clock::now() - last_progress >= quiet) return flood;
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, 50);
  }
  return flood;
}

// True once the peer has ended the connection (closed or reset it), whatever is still unread.
bool EndedByPeer(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

class Vxi11Transport : public ::testing::Test {
 protected:
  void SetUp() override {
    portmapper_ = torvex_test::FreeLoopbackPort();
    ASSERT_NE(portmapper_, 0);
    fw_.Start({"--portmapper-port", std::to_string(portmapper_)});
    ASSERT_TRUE(fw_.WaitForOutput("board: ready")) << fw_.Output();
    // The VXI-11 module may come up after "board: ready": until the portmapper names the core channel
    // and a link answers there.
    ASSERT_TRUE(WaitFor(
        [this] {
          core_port_ = vxi11_test::PortMapperGetPort(portmapper_, true, 500);
          Session probe;
          return core_port_ != 0 && probe.Open(core_port_, "inst0", 2000) && probe.Query("*IDN?\n").error == 0;
        },
        60s))
        << fw_.Output();
  }

  Watcher::Options WatcherOptions(bool fresh_sessions = false) const {
    Watcher::Options options;
    options.core_port = core_port_;
    options.portmapper_port = portmapper_;
    options.fresh_sessions = fresh_sessions;
    return options;
  }

  // Stops the watcher, checks it was served throughout and prints what it saw.
  static void ExpectServedThroughout(Watcher& watcher, const std::string& what) {
    watcher.Stop();
    const std::vector<std::string> failures = watcher.failures();
    std::string listed;
    for (const std::string& f : failures) listed += "\n  " + f;
    EXPECT_TRUE(failures.empty()) << what << ": the well-behaved client was not served:" << listed;
    EXPECT_NE(watcher.identity().find(','), std::string::npos) << watcher.identity();
    std::printf("[ figures  ] %s: %d queries answered, slowest %.1f ms\n", what.c_str(), watcher.answered(),
                watcher.slowest_ms());
  }

  FirmwareProcess fw_;
  std::uint16_t portmapper_ = 0;
  std::uint16_t core_port_ = 0;
};

TEST_F(Vxi11Transport, AClientThatDoesNotReadItsRepliesIsCutOffWithoutHoldingAnyoneElse) {
  Watcher watcher(WatcherOptions());
  ASSERT_TRUE(watcher.WaitForQueries(3));
  Session careless;
  ASSERT_TRUE(careless.Open(core_port_, "inst0", 5000, 4096));
  // device_readstb calls, pipelined and never read, until the firmware waits to send to it.
  const Bytes readstb = Record(careless.CallMessage(13, ArgWords({careless.lid(), 0, 1000, 1000})));
  const Flood flood = FloodWithoutReading(careless.raw().fd(), readstb);
  ASSERT_GT(flood.records, 0);
  std::printf("[ figures  ] %ld device_readstb calls sent before the connection %s\n", flood.records,
              flood.ended ? "was ended" : "took no more");
  EXPECT_TRUE(watcher.WaitForQueries(5)) << "while the firmware waits to send to the careless client";
  // The reply that finds no room within the send time-out ends that connection and its link.
  EXPECT_TRUE(WaitFor([&] { return EndedByPeer(careless.raw().fd()); }, 30s));
  careless.raw().Close();
  EXPECT_TRUE(watcher.WaitForQueries(5)) << "after the careless client has gone";
  ExpectServedThroughout(watcher, "careless client pipelining device_readstb");
}

TEST_F(Vxi11Transport, ThePortmapperOverTcpServesNewSessionsWhileOtherConnectionsStallIt) {
  // Every query of this client opens a new session through GETPORT over TCP, as VISA libraries do.
  Watcher watcher(WatcherOptions(true));
  ASSERT_TRUE(watcher.WaitForQueries(3));
  struct Case {
    const char* name;
    std::function<void(RawClient&, std::atomic<bool>&)> misbehave;
  };
  const Bytes call = PortMapperGetPortCall();
  const Case cases[] = {
      {"an idle connection", [](RawClient&, std::atomic<bool>&) {}},
      {"a call sent a byte every 300 ms",
       [&call](RawClient& client, std::atomic<bool>& stop) {
         const Bytes record = Record(call);
         for (std::size_t i = 0; i < record.size() && !stop; ++i) {
           if (!client.SendRaw({record[i]})) return;
           for (int slice = 0; slice < 30 && !stop; ++slice) std::this_thread::sleep_for(10ms);
         }
       }},
      {"pipelined calls whose replies are never read",
       [&call](RawClient& client, std::atomic<bool>&) {
         const Flood flood = FloodWithoutReading(client.fd(), Record(call));
         std::printf("[ figures  ] %ld GETPORT calls sent before the connection %s\n", flood.records,
                     flood.ended ? "was ended" : "took no more");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawClient client;
    ASSERT_TRUE(client.Connect(portmapper_, false, 4096));
    std::atomic<bool> stop{false};
    std::thread misbehaving([&] { c.misbehave(client, stop); });
    EXPECT_TRUE(watcher.WaitForQueries(5));
    // The portmapper gives the connection up: no call within its receive time-out, or no room for a
    // reply.
    EXPECT_TRUE(WaitFor([&] { return EndedByPeer(client.fd()); }, 20s));
    stop = true;
    misbehaving.join();
    client.Close();
    EXPECT_TRUE(watcher.WaitForQueries(3));
  }
  ExpectServedThroughout(watcher, "new sessions beside stalled portmapper connections");
}

TEST_F(Vxi11Transport, ConnectionsBeyondTheLimitAreRefusedWhileTheAdmittedAreServed) {
  Watcher watcher(WatcherOptions());
  ASSERT_TRUE(watcher.WaitForQueries(3));
  const torvex_test::ProcessStats before = torvex_test::ReadProcessStats(fw_.Pid());
  // Each connection asks device_docmd, which needs no link: a served connection answers it (error 8),
  // a refused one is closed without a reply.
  CallSpec docmd;
  docmd.proc = 22;
  constexpr int kCrowd = 300;
  std::vector<std::unique_ptr<RawClient>> crowd;
  int admitted = 0;
  int refused = 0;
  for (int i = 0; i < kCrowd; ++i) {
    auto client = std::make_unique<RawClient>();
    ASSERT_TRUE(client->Connect(core_port_)) << i;
    const Bytes reply = client->Exchange(Call(docmd));
    if (reply.empty()) {
      ++refused;
    } else {
      EXPECT_EQ(Get(reply, 24), 8u);
      ++admitted;
    }
    crowd.push_back(std::move(client));
  }
  const torvex_test::ProcessStats during = torvex_test::ReadProcessStats(fw_.Pid());
  std::printf("[ figures  ] %d of %d connections admitted, %d refused; before: %s; with the crowd: %s\n", admitted,
              kCrowd, refused, torvex_test::Describe(before).c_str(), torvex_test::Describe(during).c_str());
  EXPECT_GT(refused, 0);
  EXPECT_GE(admitted, 8);
  // Two threads (core and abort channel) for each admitted connection, and no more.
  EXPECT_LE(during.threads, before.threads + 2 * admitted + 8);
  // The admitted client and the board program go on while the crowd holds every place.
  EXPECT_TRUE(watcher.WaitForQueries(5)) << "with every place taken";
  EXPECT_NE(fw_.Board("state"), "");
  crowd.clear();
  // Places come back as the crowd leaves: a new client is served again.
  EXPECT_TRUE(WaitFor(
      [this] {
        Session fresh;
        return fresh.Open(core_port_, "inst0", 2000) && fresh.Query("*IDN?\n").error == 0;
      },
      20s));
  EXPECT_TRUE(watcher.WaitForQueries(3)) << "after the crowd has gone";
  ExpectServedThroughout(watcher, "admitted client beside a crowd of connections");
}

// The sockets of a process with their local address and port (host order), from /proc.
struct ProcessSocket {
  bool udp;
  std::uint32_t address;
  std::uint16_t port;
  bool listening;  // TCP in LISTEN; every UDP socket counts
};

std::vector<ProcessSocket> SocketsOf(int pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  std::set<std::string> inodes;
  for (int fd = 0; fd < 4096; ++fd) {
    char target[64] = {};
    const std::string link = base + "/fd/" + std::to_string(fd);
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n > 9 && std::string(target, 8) == "socket:[") inodes.insert(std::string(target + 8, n - 9));
  }
  std::vector<ProcessSocket> sockets;
  for (const bool udp : {false, true}) {
    std::ifstream table(base + (udp ? "/net/udp" : "/net/tcp"));
    std::string line;
    std::getline(table, line);  // heading
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
      if (inodes.count(inode) == 0) continue;
      ProcessSocket s{};
      s.udp = udp;
      s.address = ntohl(static_cast<std::uint32_t>(std::stoul(local.substr(0, 8), nullptr, 16)));
      s.port = static_cast<std::uint16_t>(std::stoul(local.substr(9), nullptr, 16));
      s.listening = udp || state == "0A";
      if (s.listening) sockets.push_back(s);
    }
  }
  return sockets;
}

// An IPv4 address of this host's own network (not loopback), 0 when it has none.
std::uint32_t HostNetworkAddress() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  std::uint32_t found = 0;
  for (ifaddrs* i = list; i != nullptr && found == 0; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_LOOPBACK) != 0 ||
        (i->ifa_flags & IFF_UP) == 0) {
      continue;
    }
    found = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
  }
  freeifaddrs(list);
  return found;
}

bool TcpConnects(std::uint32_t address, std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(address);
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  close(fd);
  return connected;
}

// A NetBIOS node status request for "*" (what `nmblookup -A` sends): answered by a name server.
bool NameServerAnswers(std::uint32_t address, std::uint16_t port) {
  Bytes request = {0x12, 0x34, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 32, 'C', 'K'};
  for (int i = 0; i < 30; ++i) request.push_back('A');
  request.insert(request.end(), {0x00, 0x00, 0x21, 0x00, 0x01});
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(address);
  sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  pollfd p{fd, POLLIN, 0};
  std::uint8_t answer[1024];
  const bool answered =
      poll(&p, 1, 1000) > 0 && recv(fd, answer, sizeof answer, 0) >= 2 && answer[0] == 0x12 && answer[1] == 0x34;
  close(fd);
  return answered;
}

TEST_F(Vxi11Transport, OnTheSimulatedLinkEveryServiceListensOnTheLoopbackOnly) {
  Watcher watcher(WatcherOptions());
  ASSERT_TRUE(watcher.WaitForQueries(3));
  // The name server runs once the simulated link is up: one of the board's UDP sockets answers a node
  // status request on the loopback.
  std::uint16_t name_port = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        for (const ProcessSocket& s : SocketsOf(fw_.Pid())) {
          if (s.udp && s.port != portmapper_ && NameServerAnswers(0x7F000001, s.port)) name_port = s.port;
        }
        return name_port != 0;
      },
      60s))
      << fw_.Output();
  const std::vector<ProcessSocket> sockets = SocketsOf(fw_.Pid());
  for (const ProcessSocket& s : sockets) {
    // Bound to the loopback address, or to the loopback interface (where only the address says "any").
    EXPECT_TRUE((s.address >> 24) == 127 || s.address == 0)
        << (s.udp ? "UDP " : "TCP ") << std::hex << s.address << std::dec << ":" << s.port;
    if (!s.udp) {
      EXPECT_EQ(s.address >> 24, 127u) << "TCP listener on port " << s.port;
    }
  }
  const std::uint32_t host_address = HostNetworkAddress();
  if (host_address == 0) {
    GTEST_SKIP() << "this host has no network address besides the loopback to try from";
  }
  // Nothing answers on the host's own network address: no listener, no name server.
  for (const ProcessSocket& s : sockets) {
    if (!s.udp) {
      EXPECT_FALSE(TcpConnects(host_address, s.port)) << "TCP port " << s.port;
    }
  }
  EXPECT_FALSE(NameServerAnswers(host_address, name_port));
  EXPECT_TRUE(NameServerAnswers(0x7F000001, name_port));
  EXPECT_TRUE(watcher.WaitForQueries(3));
  ExpectServedThroughout(watcher, "client on the loopback");
}

}  // namespace
