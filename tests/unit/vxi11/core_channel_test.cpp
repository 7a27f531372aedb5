// The core and abort channels on raw sockets, against a fake link table: header checks, every error
// reply, each procedure's arguments and reply, and streams that misbehave.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "vxi11/CInstrumentServerManager.h"
#include "vxi11_wire.h"
#include "support/wait_for.h"

namespace {

using vxi11_test::ArgWords;
using vxi11_test::Bytes;
using vxi11_test::Call;
using vxi11_test::CallSpec;
using vxi11_test::FakeLinks;
using vxi11_test::Get;
using vxi11_test::Put;
using vxi11_test::RawClient;

class CoreChannelTest : public ::testing::Test {
 protected:
  void SetUp() override { Restart(Options()); }
  static CVxi11ServerOptions Options() {
    CVxi11ServerOptions options;
    options.portmapper_port = 0;  // nothing answers there: the built-in portmapper takes an ephemeral port
    options.operations = vxi11_test::FakeOperations();
    return options;
  }
  // A new server with `options`, and the fixture's client connected to it; the fake starts afresh.
  void Restart(const CVxi11ServerOptions& options) {
    client_.Close();
    manager_.reset();
    FakeLinks::Get().Reset();
    manager_ = std::make_unique<CInstrumentServerManager>(options);
    ASSERT_FALSE(manager_->IsFailed());
    ASSERT_TRUE(client_.Connect(manager_->GetPort()));
  }
  void TearDown() override {
    client_.Close();
    manager_.reset();
  }
  static CallSpec Proc(std::uint32_t proc) {
    CallSpec spec;
    spec.proc = proc;
    return spec;
  }
  Bytes CreateLink(const std::string& name, RawClient* client = nullptr) {
    Bytes args = ArgWords({1, 0, 250});
    vxi11_test::PutOpaque(&args, name);
    return (client != nullptr ? client : &client_)->Exchange(Call(Proc(10), args));
  }

  std::unique_ptr<CInstrumentServerManager> manager_;
  RawClient client_;
};

// Result words after the 24-byte accepted header.
std::uint32_t Result(const Bytes& reply, int index) { return Get(reply, 24 + 4 * index); }

TEST_F(CoreChannelTest, HeaderErrorsGetTheirRepliesAndTheConnectionGoesOn) {
  struct Case {
    const char* what;
    CallSpec spec;
    Bytes expected_tail;  // the words after xid and REPLY
  };
  auto words = [](std::initializer_list<std::uint32_t> list) {
    Bytes out;
    for (std::uint32_t w : list) Put(&out, w);
    return out;
  };
  CallSpec rpcvers = Proc(13);
  rpcvers.rpcvers = 3;
  CallSpec vers = Proc(13);
  vers.vers = 2;
  CallSpec prog = Proc(13);
  prog.prog = 0x0607B0;
  CallSpec reply = Proc(13);
  reply.msg_type = 1;
  const Case cases[] = {
      {"rpcvers 3", rpcvers, words({1, 0, 2, 2})},
      {"vers 2", vers, words({0, 0, 0, 2, 1, 1})},
      {"other program", prog, words({0, 0, 0, 1})},
      {"reply sent to server", reply, words({0, 0, 0, 4})},
      {"null procedure", Proc(0), words({0, 0, 0, 3})},
      {"procedure 21", Proc(21), words({0, 0, 0, 3})},
      {"procedure 24", Proc(24), words({0, 0, 0, 3})},
      {"procedure 27", Proc(27), words({0, 0, 0, 3})},
      {"procedure 100000", Proc(100000), words({0, 0, 0, 3})},
  };
  std::uint32_t xid = 100;
  for (Case c : cases) {
    c.spec.xid = ++xid;
    std::uint32_t mark = 0;
    const Bytes answer = client_.Exchange(Call(c.spec), &mark);
    Bytes expected = words({xid, 1});
    expected.insert(expected.end(), c.expected_tail.begin(), c.expected_tail.end());
    EXPECT_EQ(answer, expected) << c.what;
    EXPECT_EQ(mark, 0x80000000u | static_cast<std::uint32_t>(expected.size())) << c.what;
  }
  EXPECT_EQ(FakeLinks::Get().calls.load(), 0);
}

TEST_F(CoreChannelTest, CreateLinkAnswersLidAbortPortAndMaxRecvSize) {
  std::uint32_t mark = 0;
  Bytes args = ArgWords({1, 1, 1234});
  vxi11_test::PutOpaque(&args, "inst0");
  const Bytes reply = client_.Exchange(Call(Proc(10), args), &mark);
  EXPECT_EQ(mark, 0x80000028u);
  EXPECT_EQ(Result(reply, 0), 0u);
  EXPECT_EQ(Result(reply, 1), 7u);
  EXPECT_NE(Result(reply, 2), 0u);
  EXPECT_EQ(Result(reply, 3), 4096u);
  EXPECT_EQ(FakeLinks::Get().last_name, "inst0");
  EXPECT_EQ(FakeLinks::Get().last_lock_timeout, 1234u);

  // A second connection has an abort channel of its own.
  RawClient other(manager_->GetPort());
  const Bytes second = CreateLink("inst0", &other);
  EXPECT_NE(Result(second, 2), Result(reply, 2));

  FakeLinks::Get().status = 0x54310;
  EXPECT_EQ(Result(CreateLink("nothing"), 0), 21u);
}

TEST_F(CoreChannelTest, LongDeviceNamesAreCutAt199Characters) {
  CreateLink(std::string(250, 'x'));
  EXPECT_EQ(FakeLinks::Get().last_name, std::string(199, 'x'));
}

TEST_F(CoreChannelTest, AuthUnixCredentialsAreSkipped) {
  CallSpec spec = Proc(10);
  spec.cred_flavor = 1;
  Bytes cred;
  Put(&cred, 12345);  // stamp
  vxi11_test::PutOpaque(&cred, "host");
  Put(&cred, 1000);  // uid
  Put(&cred, 1000);  // gid
  Put(&cred, 0);     // no more groups
  spec.cred = cred;
  Bytes args = ArgWords({1, 0, 0});
  vxi11_test::PutOpaque(&args, "inst3");
  const Bytes reply = client_.Exchange(Call(spec, args));
  EXPECT_EQ(Result(reply, 0), 0u);
  EXPECT_EQ(FakeLinks::Get().last_name, "inst3");

  spec.cred = Bytes(404, 0);  // beyond the largest authenticator
  const Bytes refused = client_.Exchange(Call(spec, args));
  EXPECT_EQ(Get(refused, 20), 4u);  // GARBAGE_ARGS
}

TEST_F(CoreChannelTest, DeviceWritePassesDataAndFlagsAndRefusesMoreThanMaxRecvSize) {
  Bytes args = ArgWords({7, 500, 600, 0x9});
  vxi11_test::PutOpaque(&args, "*IDN?\n");
  std::uint32_t mark = 0;
  Bytes reply = client_.Exchange(Call(Proc(11), args), &mark);
  EXPECT_EQ(mark, 0x80000020u);
  EXPECT_EQ(Result(reply, 0), 0u);
  EXPECT_EQ(Result(reply, 1), 6u);
  auto& f = FakeLinks::Get();
  EXPECT_EQ(std::string(f.last_data.begin(), f.last_data.end()), "*IDN?\n");
  EXPECT_TRUE(f.last_waitlock);
  EXPECT_TRUE(f.last_end);
  EXPECT_EQ(f.last_io_timeout, 500u);
  EXPECT_EQ(f.last_lock_timeout, 600u);

  const int calls = f.calls.load();
  // A length field of 5000 without the data, then a whole 5000-byte write: both error 5, size 0;
  // the second record is drained so the call after it is read from its start.
  reply = client_.Exchange(Call(Proc(11), ArgWords({7, 0, 0, 8, 5000})));
  EXPECT_EQ(Result(reply, 0), 5u);
  EXPECT_EQ(Result(reply, 1), 0u);
  Bytes big = ArgWords({7, 0, 0, 8});
  vxi11_test::PutOpaque(&big, std::string(5000, 'a'));
  reply = client_.Exchange(Call(Proc(11), big));
  EXPECT_EQ(Result(reply, 0), 5u);
  EXPECT_EQ(f.calls.load(), calls);
  // A length that runs past the bytes sent is garbage.
  Bytes lying = ArgWords({7, 0, 0, 8, 100});
  lying.resize(lying.size() + 8, 'b');
  reply = client_.Exchange(Call(Proc(11), lying));
  EXPECT_EQ(Get(reply, 20), 4u);
  EXPECT_EQ(f.calls.load(), calls);
  reply = client_.Exchange(Call(Proc(22)));
  EXPECT_EQ(Result(reply, 0), 8u);
}

TEST_F(CoreChannelTest, DeviceReadSetsReqcntOnlyForAFullRequestAndPadsTheData) {
  struct Case {
    std::uint32_t request;
    std::string data;
    std::uint32_t reason;
    std::uint32_t count_asked;
  };
  const Case cases[] = {
      {3, "ABC", 4 | 1, 3},
      {10, "ABC", 4, 10},
      {10000, std::string(5000, 'z'), 4, 4096},
      {2, "ABC", 4 | 1, 2},
  };
  auto& f = FakeLinks::Get();
  for (const Case& c : cases) {
    f.read_data = c.data;
    std::uint32_t mark = 0;
    const Bytes reply = client_.Exchange(Call(Proc(12), ArgWords({7, c.request, 100, 200, 0x80, '\n'})), &mark);
    const std::uint32_t n = Result(reply, 2);
    EXPECT_EQ(n, std::min<std::uint32_t>(static_cast<std::uint32_t>(c.data.size()), c.count_asked));
    EXPECT_EQ(Result(reply, 1), c.reason) << c.request;
    EXPECT_EQ(f.last_count, c.count_asked);
    EXPECT_TRUE(f.last_termchar_set);
    EXPECT_EQ(f.last_termchar, '\n');
    const std::uint32_t padded = (n + 3) & ~3u;
    EXPECT_EQ(mark, 0x80000000u | (36 + padded));
    ASSERT_EQ(reply.size(), 36 + padded);
    EXPECT_EQ(std::string(reply.begin() + 36, reply.begin() + 36 + n), c.data.substr(0, n));
    for (std::uint32_t i = n; i < padded; ++i) EXPECT_EQ(reply[36 + i], 0);
  }
}

TEST_F(CoreChannelTest, ReadStbIsAnsweredByTheOperationOrWithTheError) {
  Bytes reply = client_.Exchange(Call(Proc(13), ArgWords({7, 0, 0, 0})));
  EXPECT_EQ(reply.size(), 32u);
  EXPECT_EQ(Result(reply, 0), 0u);
  EXPECT_EQ(Result(reply, 1), 0x40u);
  FakeLinks::Get().status = 0x54390;
  reply = client_.Exchange(Call(Proc(13), ArgWords({9, 0, 0, 0})));
  EXPECT_EQ(Result(reply, 0), 4u);
  EXPECT_EQ(Result(reply, 1), 0u);
}

TEST_F(CoreChannelTest, GenericOperationsPassFlagsAndTranslateStatuses) {
  struct Case {
    std::uint32_t proc;
    const char* name;
    std::uint32_t status;
    std::uint32_t error;
  };
  const Case cases[] = {
      {14, "trigger", 0, 0},      {15, "clear", 0x54324, 15}, {16, "remote", 0x54395, 8},
      {17, "local", 0x54396, 23}, {18, "lock", 0x54315, 11},  {19, "unlock", 0x54316, 12},
  };
  auto& f = FakeLinks::Get();
  for (const Case& c : cases) {
    f.status = c.status;
    std::uint32_t mark = 0;
    const Bytes reply = client_.Exchange(Call(Proc(c.proc), ArgWords({7, 1, 300, 400})), &mark);
    EXPECT_EQ(mark, 0x8000001Cu) << c.name;
    EXPECT_EQ(Result(reply, 0), c.error) << c.name;
    EXPECT_EQ(f.last_name, c.name);
    EXPECT_EQ(f.last_lid, 7u);
    if (c.proc != 19) {
      EXPECT_TRUE(f.last_waitlock) << c.name;
      EXPECT_EQ(f.last_lock_timeout, 300u) << c.name;
    }
    if (c.proc < 18) {
      EXPECT_EQ(f.last_io_timeout, 400u) << c.name;
    }
  }
}

TEST_F(CoreChannelTest, DocmdAnswersError8WithEmptyData) {
  std::uint32_t mark = 0;
  const Bytes reply = client_.Exchange(Call(Proc(22), ArgWords({7, 0, 0, 0, 0x20000, 0, 0})), &mark);
  EXPECT_EQ(mark, 0x80000020u);
  ASSERT_EQ(reply.size(), 32u);
  EXPECT_EQ(Result(reply, 0), 8u);
  EXPECT_EQ(Result(reply, 1), 0u);
}

TEST_F(CoreChannelTest, EnableSrqHandleLengthIsCheckedAgainstTheCall) {
  Bytes args = ArgWords({7, 1});
  vxi11_test::PutOpaque(&args, "hand");
  EXPECT_EQ(Result(client_.Exchange(Call(Proc(20), args)), 0), 0u);
  EXPECT_EQ(FakeLinks::Get().last_data, (Bytes{'h', 'a', 'n', 'd'}));
  Bytes lying = ArgWords({7, 1, 1000, 0});
  EXPECT_EQ(Result(client_.Exchange(Call(Proc(20), lying)), 0), 5u);
}

TEST_F(CoreChannelTest, InterruptChannelRequestsAreChecked) {
  struct Case {
    std::uint32_t prog;
    std::uint32_t vers;
    std::uint32_t family;
    std::uint32_t accept_stat;
    std::uint32_t error;
  };
  const Case cases[] = {
      {0x0607B0, 1, 0, 1, 0},
      {0x0607B1, 2, 0, 2, 0},
      {0x0607B1, 1, 2, 0, 8},
  };
  for (const Case& c : cases) {
    const Bytes reply = client_.Exchange(Call(Proc(25), ArgWords({0x7F000001, 9, c.prog, c.vers, c.family})));
    EXPECT_EQ(Get(reply, 20), c.accept_stat);
    if (c.accept_stat == 0) {
      EXPECT_EQ(Result(reply, 0), c.error);
    }
    if (c.accept_stat == 2) {
      EXPECT_EQ(Result(reply, 0), 1u);
      EXPECT_EQ(Result(reply, 1), 1u);
    }
  }
  EXPECT_EQ(Result(client_.Exchange(Call(Proc(26))), 0), 6u);
}

TEST_F(CoreChannelTest, ShortAndFragmentedRecordsKeepTheStreamInStep) {
  // Too short for a header: garbage with the xid when there is one, nothing when there is not.
  EXPECT_EQ(Get(client_.Exchange(ArgWords({0x5151, 0})), 20), 4u);
  EXPECT_TRUE(client_.SendRecord({1, 2}));
  // A call in three fragments, the middle one empty.
  const Bytes call = Call(Proc(22));
  Bytes stream;
  Put(&stream, 10);
  stream.insert(stream.end(), call.begin(), call.begin() + 10);
  Put(&stream, 0);
  Put(&stream, 0x80000000u | static_cast<std::uint32_t>(call.size() - 10));
  stream.insert(stream.end(), call.begin() + 10, call.end());
  ASSERT_TRUE(client_.SendRaw(stream));
  const Bytes reply = client_.ReadRecord();
  EXPECT_EQ(Get(reply, 0), 0x11223344u);
  EXPECT_EQ(Result(reply, 0), 8u);
}

TEST_F(CoreChannelTest, AHugeDeclaredRecordClosesTheConnectionAndOthersGoOn) {
  RawClient other(manager_->GetPort());
  EXPECT_TRUE(client_.SendRaw(ArgWords({0x7FFFFFFF})));
  EXPECT_TRUE(client_.PeerClosed());
  EXPECT_TRUE(torvex_test::WaitFor([] { return FakeLinks::Get().drops.load() == 1; }));
  EXPECT_EQ(Result(other.Exchange(Call(Proc(22))), 0), 8u);
  RawClient again(manager_->GetPort());
  EXPECT_EQ(Result(again.Exchange(Call(Proc(22))), 0), 8u);
}

TEST_F(CoreChannelTest, TheListenerOutlivesFailedAccepts) {
#if defined(__SANITIZE_ADDRESS__)
  // The undefined-behaviour sanitizer built in with it checks object types through a pipe of its own;
  // with every descriptor taken that check fails and reports objects that are sound.
  GTEST_SKIP() << "needs every file descriptor, which the sanitizer runtime needs too";
#endif
  // A client socket made while descriptors are still free.
  const int waiting = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(waiting, -1);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  // No descriptor left: fill every free number below a limit just above the highest in use.
  const int highest = dup(0);
  ASSERT_NE(highest, -1);
  rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(highest) + 1;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> fillers{highest};
  for (int fd = open("/dev/null", O_RDONLY); fd != -1; fd = open("/dev/null", O_RDONLY)) fillers.push_back(fd);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(manager_->GetPort());
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(waiting, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);  // completes in the backlog
  RawClient client;
  client.Adopt(waiting);
  ASSERT_TRUE(client.SendRecord(Call(Proc(22))));
  // Without descriptors the connection cannot be served: it is not taken, or it is closed at once.
  EXPECT_TRUE(client.ReadRecord(nullptr, 300).empty());
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  for (int fd : fillers) close(fd);
  client.Close();
  // Descriptors are back: the same listener serves the next connection.
  RawClient later(manager_->GetPort());
  EXPECT_EQ(Result(later.Exchange(Call(Proc(22))), 0), 8u);
}

class AbortChannelTest : public CoreChannelTest {
 protected:
  std::uint16_t AbortPort() { return static_cast<std::uint16_t>(Result(CreateLink("inst0"), 2)); }
  static CallSpec Abort(std::uint32_t proc = 1) {
    CallSpec spec;
    spec.prog = 0x0607B0;
    spec.proc = proc;
    return spec;
  }
};

TEST_F(AbortChannelTest, AbortsTheConnectionsLinksAndChecksHeaders) {
  RawClient abort(AbortPort());
  std::uint32_t mark = 0;
  Bytes reply = abort.Exchange(Call(Abort(), ArgWords({7})), &mark);
  EXPECT_EQ(mark, 0x8000001Cu);
  EXPECT_EQ(Result(reply, 0), 0u);
  EXPECT_EQ(Result(abort.Exchange(Call(Abort(), ArgWords({8}))), 0), 4u);

  CallSpec rpcvers = Abort();
  rpcvers.rpcvers = 3;
  EXPECT_EQ(Get(abort.Exchange(Call(rpcvers, ArgWords({7}))), 8), 1u);  // MSG_DENIED
  CallSpec vers = Abort();
  vers.vers = 2;
  reply = abort.Exchange(Call(vers, ArgWords({7})));
  EXPECT_EQ(Get(reply, 20), 2u);
  EXPECT_EQ(Result(reply, 0), 1u);
  EXPECT_EQ(Get(abort.Exchange(Call(Abort(2), ArgWords({7}))), 20), 3u);
  EXPECT_EQ(Get(abort.Exchange(Call(Abort())), 20), 4u);  // no lid
  EXPECT_EQ(FakeLinks::Get().aborts.load(), 2);
}

TEST_F(AbortChannelTest, AcceptsANewConnectionAfterTheClientReconnects) {
  const std::uint16_t port = AbortPort();
  for (int round = 0; round < 3; ++round) {
    RawClient abort(port);
    EXPECT_EQ(Result(abort.Exchange(Call(Abort(), ArgWords({7}))), 0), 0u) << round;
  }
  // One at a time: a second client waits until the first has gone.
  auto first = std::make_unique<RawClient>(port);
  EXPECT_EQ(Result(first->Exchange(Call(Abort(), ArgWords({7}))), 0), 0u);
  RawClient second(port);
  ASSERT_TRUE(second.SendRecord(Call(Abort(), ArgWords({7}))));
  EXPECT_TRUE(second.ReadRecord(nullptr, 100).empty());
  first.reset();
  EXPECT_EQ(Result(second.ReadRecord(), 0), 0u);
}

TEST_F(CoreChannelTest, StoppingTheManagerClosesConnectionsAndDropsTheirLinks) {
  RawClient other(manager_->GetPort());
  EXPECT_EQ(Result(other.Exchange(Call(Proc(22))), 0), 8u);
  EXPECT_EQ(Result(client_.Exchange(Call(Proc(22))), 0), 8u);
  manager_.reset();
  EXPECT_TRUE(client_.PeerClosed());
  EXPECT_TRUE(other.PeerClosed());
  EXPECT_EQ(FakeLinks::Get().drops.load(), 2);
}

TEST_F(CoreChannelTest, AClientThatDoesNotReadIsCutOffAtTheSendTimeOutAndItsLinksDropped) {
  CVxi11ServerOptions options = Options();
  options.reply_send_timeout_ms = 200;
  Restart(options);
  RawClient careless;
  ASSERT_TRUE(careless.Connect(manager_->GetPort(), false, 4096));
  // device_docmd answers 4124 bytes: calls sent without reading fill both buffers soon.
  const Bytes call = Call(Proc(22));
  Bytes record;
  Put(&record, 0x80000000u | static_cast<std::uint32_t>(call.size()));
  record.insert(record.end(), call.begin(), call.end());
  bool ended = false;
  for (int i = 0; i < 100000 && !ended; ++i) {
    ended = send(careless.fd(), record.data(), record.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && errno != EAGAIN;
    if (!ended && errno == EAGAIN) {
      pollfd p{careless.fd(), POLLOUT, 0};
      poll(&p, 1, 20);
    }
  }
  EXPECT_TRUE(torvex_test::WaitFor([] { return FakeLinks::Get().drops.load() == 1; }));
  // The other connection was never held.
  EXPECT_EQ(Result(client_.Exchange(Call(Proc(22))), 0), 8u);
}

TEST_F(CoreChannelTest, ConnectionsBeyondTheLimitAreClosedAtAccept) {
  CVxi11ServerOptions options = Options();
  options.max_connections = 2;
  Restart(options);
  EXPECT_EQ(Result(client_.Exchange(Call(Proc(22))), 0), 8u);
  auto second = std::make_unique<RawClient>(manager_->GetPort());
  EXPECT_EQ(Result(second->Exchange(Call(Proc(22))), 0), 8u);
  RawClient third(manager_->GetPort());
  EXPECT_TRUE(third.Exchange(Call(Proc(22))).empty());
  EXPECT_TRUE(third.PeerClosed());
  // A place given back (once the connection has ended whole) is taken by the next client.
  second.reset();
  RawClient fourth;
  EXPECT_TRUE(torvex_test::WaitFor(
      [&] { return fourth.Connect(manager_->GetPort()) && Result(fourth.Exchange(Call(Proc(22))), 0) == 8u; }));
  EXPECT_EQ(FakeLinks::Get().drops.load(), 1);
  EXPECT_EQ(Result(client_.Exchange(Call(Proc(22))), 0), 8u);
}

}  // namespace
