// The built-in portmapper over TCP and UDP, and the server's registration with a system portmapper
// (played here by a small fake that keeps its mappings in a table).
#include <gtest/gtest.h>
#include <poll.h>

#include <cerrno>
#include <map>
#include <memory>
#include <thread>
#include <tuple>

#include "vxi11/CInstrumentServerManager.h"
#include "vxi11/CMiniPortMapper.h"
#include "vxi11/CPortMapperClient.h"
#include "vxi11_wire.h"
#include "support/wait_for.h"

namespace {

using vxi11_test::ArgWords;
using vxi11_test::Bytes;
using vxi11_test::Call;
using vxi11_test::CallSpec;
using vxi11_test::Get;
using vxi11_test::Put;
using vxi11_test::RawClient;

CallSpec PortMapperCall(std::uint32_t vers, std::uint32_t proc, std::uint32_t xid = 77) {
  CallSpec spec;
  spec.xid = xid;
  spec.prog = 100000;
  spec.vers = vers;
  spec.proc = proc;
  return spec;
}

Bytes GetPort(std::uint32_t prog, std::uint32_t vers, std::uint32_t prot, std::uint32_t xid = 77) {
  return Call(PortMapperCall(2, 3, xid), ArgWords({prog, vers, prot, 0}));
}

class MiniPortMapperTest : public ::testing::Test {
 protected:
  void Start(std::uint32_t idle_ms = 5000) {
    std::uint32_t status = 1;
    mapper_ = std::make_unique<CMiniPortMapper>(4321, &status, 0, 0x7F000001, idle_ms);
    ASSERT_EQ(status, 0u);
  }
  std::unique_ptr<CMiniPortMapper> mapper_;
};

TEST_F(MiniPortMapperTest, ServesEveryCallOfAConnectionTheWayLibraryClientsAsk) {
  Start();
  RawClient client(mapper_->TcpPort());
  // An rpcbind-aware client asks GETADDR version 4, then 3, then GETPORT version 2 on one connection.
  Bytes getaddr = ArgWords({0x0607AF, 1});
  vxi11_test::PutOpaque(&getaddr, "tcp");
  vxi11_test::PutOpaque(&getaddr, "");
  vxi11_test::PutOpaque(&getaddr, "");
  for (std::uint32_t vers : {4u, 3u}) {
    std::uint32_t mark = 0;
    const Bytes reply = client.Exchange(Call(PortMapperCall(vers, 3), getaddr), &mark);
    EXPECT_EQ(mark, 0x80000020u) << vers;
    EXPECT_EQ(Get(reply, 20), 2u) << vers;  // PROG_MISMATCH
    EXPECT_EQ(Get(reply, 24), 2u);
    EXPECT_EQ(Get(reply, 28), 2u);
  }
  struct Case {
    Bytes call;
    std::uint32_t accept_stat;
    std::uint32_t port;
  };
  const Case cases[] = {
      {GetPort(0x0607AF, 1, 6), 0, 4321}, {GetPort(0x0607AF, 1, 17), 0, 0},
      {GetPort(0x0607B0, 1, 6), 0, 0},    {Call(PortMapperCall(2, 0)), 3, 0},
      {Call(PortMapperCall(2, 4)), 3, 0}, {Call(PortMapperCall(2, 3), ArgWords({0x0607AF})), 4, 0},
  };
  for (const Case& c : cases) {
    std::uint32_t mark = 0;
    const Bytes reply = client.Exchange(c.call, &mark);
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(Get(reply, 0), 77u);
    EXPECT_EQ(Get(reply, 20), c.accept_stat);
    if (c.accept_stat == 0) {
      EXPECT_EQ(mark, 0x8000001Cu);
      EXPECT_EQ(Get(reply, 24), c.port);
    }
  }
  CallSpec rpcvers = PortMapperCall(2, 3);
  rpcvers.rpcvers = 3;
  EXPECT_EQ(Get(client.Exchange(Call(rpcvers)), 8), 1u);  // MSG_DENIED
}

TEST_F(MiniPortMapperTest, ReadsAWholeRecordWhateverItsFragments) {
  Start();
  RawClient client(mapper_->TcpPort());
  const Bytes call = GetPort(0x0607AF, 1, 6, 5);
  Bytes stream;
  Put(&stream, 16);
  stream.insert(stream.end(), call.begin(), call.begin() + 16);
  Put(&stream, 0x80000000u | static_cast<std::uint32_t>(call.size() - 16));
  stream.insert(stream.end(), call.begin() + 16, call.end());
  for (std::uint8_t byte : stream) ASSERT_TRUE(client.SendRaw({byte}));
  const Bytes reply = client.ReadRecord();
  EXPECT_EQ(Get(reply, 0), 5u);
  EXPECT_EQ(Get(reply, 24), 4321u);
}

TEST_F(MiniPortMapperTest, AnIdleConnectionIsClosedAndTheNextIsServed) {
  Start(100);
  RawClient idle(mapper_->TcpPort());
  EXPECT_TRUE(idle.PeerClosed());
  RawClient next(mapper_->TcpPort());
  EXPECT_EQ(Get(next.Exchange(GetPort(0x0607AF, 1, 6)), 24), 4321u);
}

TEST_F(MiniPortMapperTest, ConnectionsAreServedSideBySide) {
  // A receive time-out far beyond the test: the others are served because no connection waits for one.
  Start(60000);
  RawClient idle(mapper_->TcpPort());
  RawClient partial(mapper_->TcpPort());
  const Bytes call = GetPort(0x0607AF, 1, 6, 9);
  Bytes record;
  Put(&record, 0x80000000u | static_cast<std::uint32_t>(call.size()));
  record.insert(record.end(), call.begin(), call.end());
  ASSERT_TRUE(partial.SendRaw(Bytes(record.begin(), record.begin() + 10)));
  for (int i = 0; i < 3; ++i) {
    RawClient next(mapper_->TcpPort());
    EXPECT_EQ(Get(next.Exchange(GetPort(0x0607AF, 1, 6)), 24), 4321u) << i;
  }
  // The call that came in part is answered once the rest arrives.
  ASSERT_TRUE(partial.SendRaw(Bytes(record.begin() + 10, record.end())));
  const Bytes reply = partial.ReadRecord();
  EXPECT_EQ(Get(reply, 0), 9u);
  EXPECT_EQ(Get(reply, 24), 4321u);
}

TEST_F(MiniPortMapperTest, AConnectionThatDoesNotReadItsRepliesIsClosed) {
  Start(60000);
  RawClient careless;
  ASSERT_TRUE(careless.Connect(mapper_->TcpPort(), false, 4096));
  Bytes records;
  for (int i = 0; i < 256; ++i) {
    const Bytes call = GetPort(0x0607AF, 1, 6, static_cast<std::uint32_t>(i));
    Put(&records, 0x80000000u | static_cast<std::uint32_t>(call.size()));
    records.insert(records.end(), call.begin(), call.end());
  }
  bool ended = false;
  for (int round = 0; round < 20000 && !ended; ++round) {
    ended = send(careless.fd(), records.data(), records.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && errno != EAGAIN;
    if (!ended && errno == EAGAIN) {
      pollfd p{careless.fd(), POLLOUT, 0};
      poll(&p, 1, 20);
    }
  }
  EXPECT_TRUE(ended);
  RawClient next(mapper_->TcpPort());
  EXPECT_EQ(Get(next.Exchange(GetPort(0x0607AF, 1, 6)), 24), 4321u);
}

TEST_F(MiniPortMapperTest, UdpIgnoresShortDatagramsAndKeepsServing) {
  Start();
  ASSERT_EQ(mapper_->UdpPort(), mapper_->TcpPort());
  RawClient udp(mapper_->UdpPort(), true);
  for (const Bytes& junk : {Bytes{}, Bytes{1, 2, 3}, Bytes(20, 0xFF)}) {
    EXPECT_TRUE(udp.Datagram(junk, 100).empty());
  }
  EXPECT_EQ(Get(udp.Datagram(GetPort(0x0607AF, 1, 6)), 24), 4321u);
  EXPECT_EQ(Get(udp.Datagram(GetPort(0x0607AF, 1, 17)), 24), 0u);
  EXPECT_EQ(Get(udp.Datagram(Call(PortMapperCall(4, 3))), 20), 2u);
}

// A system portmapper that keeps mappings {prog, vers, prot} -> port and answers SET, UNSET, GETPORT.
class FakeSystemPortMapper {
 public:
  FakeSystemPortMapper() {
    listen_ = vxi11_test::BindLoopback(SOCK_STREAM, &port_);
    listen(listen_, 16);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeSystemPortMapper() {
    shutdown(listen_, SHUT_RDWR);
    thread_.join();
    close(listen_);
  }
  std::uint16_t port() const { return port_; }
  std::uint32_t Lookup(std::uint32_t prog) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = map_.find(std::make_tuple(prog, 1u, 6u));
    return it == map_.end() ? 0 : it->second;
  }
  void Preset(std::uint32_t prog, std::uint32_t port) {
    std::lock_guard<std::mutex> lock(mutex_);
    map_[std::make_tuple(prog, 1u, 6u)] = port;
  }

 private:
  void Serve() {
    for (;;) {
      const int fd = accept(listen_, nullptr, nullptr);
      if (fd < 0) return;
      std::uint8_t head[4];
      Bytes record;
      {
        ssize_t got = recv(fd, head, 4, MSG_WAITALL);
        if (got == 4) {
          record.resize(Get(Bytes(head, head + 4), 0) & 0x7FFFFFFF);
          got = recv(fd, record.data(), record.size(), MSG_WAITALL);
        }
      }
      if (record.size() >= 56) {
        const std::uint32_t proc = Get(record, 20);
        const auto key = std::make_tuple(Get(record, 40), Get(record, 44), Get(record, 48));
        std::uint32_t result = 0;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          if (proc == 1) {
            result = map_.count(key) == 0 ? 1 : 0;
            if (result != 0) map_[key] = Get(record, 52);
          } else if (proc == 2) {
            result = 0;
            for (auto it = map_.begin(); it != map_.end();) {
              if (std::get<0>(it->first) == std::get<0>(key) && std::get<1>(it->first) == std::get<1>(key)) {
                it = map_.erase(it);
                result = 1;
              } else {
                ++it;
              }
            }
          } else if (proc == 3) {
            auto it = map_.find(key);
            result = it == map_.end() ? 0 : it->second;
          }
        }
        Bytes reply;
        Put(&reply, 0x8000001C);
        reply.insert(reply.end(), record.begin(), record.begin() + 4);
        for (std::uint32_t w : {1u, 0u, 0u, 0u, 0u, result}) Put(&reply, w);
        send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
      }
      close(fd);
    }
  }

  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::map<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>, std::uint32_t> map_;
};

CVxi11ServerOptions OptionsFor(std::uint16_t portmapper_port) {
  CVxi11ServerOptions options;
  options.portmapper_port = portmapper_port;
  options.operations = vxi11_test::FakeOperations();
  return options;
}

TEST(PortMapperRegistrationTest, RegistersWithASystemPortmapperAndUnsetsOnStop) {
  FakeSystemPortMapper system;
  auto manager = std::make_unique<CInstrumentServerManager>(OptionsFor(system.port()));
  ASSERT_FALSE(manager->IsFailed());
  EXPECT_EQ(manager->MiniPortMapper(), nullptr);
  EXPECT_EQ(system.Lookup(0x0607AF), manager->GetPort());
  manager.reset();
  EXPECT_EQ(system.Lookup(0x0607AF), 0u);
}

TEST(PortMapperRegistrationTest, AStaleRegistrationIsReplacedALiveOneRefusesTheStart) {
  FakeSystemPortMapper system;
  // A port nobody listens on: bind a socket, read its port, close it.
  std::uint16_t dead_port = 0;
  close(vxi11_test::BindLoopback(SOCK_STREAM, &dead_port));
  system.Preset(0x0607AF, dead_port);
  auto first = std::make_unique<CInstrumentServerManager>(OptionsFor(system.port()));
  ASSERT_FALSE(first->IsFailed());
  EXPECT_EQ(system.Lookup(0x0607AF), first->GetPort());

  // While the first server lives, its registration is not taken over.
  CInstrumentServerManager second(OptionsFor(system.port()));
  EXPECT_TRUE(second.IsFailed());
  EXPECT_EQ(system.Lookup(0x0607AF), first->GetPort());
}

TEST(PortMapperClientTest, CallLayoutAndNoPortmapper) {
  CPortMapperClient client(0x7F000001, 0);
  const std::uint32_t mapping[4] = {0x0607AF, 1, 6, 999};
  client.PortMapperCall(10502, 100000, 2, 1, mapping);
  ASSERT_EQ(client.MessageLength(), 60u);
  const Bytes message(client.Message(), client.Message() + 60);
  const std::uint32_t expected[] = {0x80000038, 10502, 0, 2, 100000, 2, 1, 0, 0, 0, 0, 0x0607AF, 1, 6, 999};
  for (std::size_t i = 0; i < 15; ++i) EXPECT_EQ(Get(message, 4 * i), expected[i]) << i;
  std::uint32_t status = 0;
  PortMapperGetPort(&client, 0x0607AF, 1, 6, &status);
  EXPECT_EQ(status, 0x54393u);
}

}  // namespace
