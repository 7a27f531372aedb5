// The interrupt channel: device_intr_srq calls over TCP and UDP to a host's interrupt service.
#include <gtest/gtest.h>

#include <vector>

#include "vxi11/CVxi11InterruptChannel.h"
#include "vxi11_wire.h"

namespace {

using vxi11_test::Bytes;
using vxi11_test::Get;

// A host-side listener (TCP or UDP) on an ephemeral loopback port.
struct HostService {
  explicit HostService(bool udp) : udp(udp) {
    fd = vxi11_test::BindLoopback(udp ? SOCK_DGRAM : SOCK_STREAM, &port);
    if (!udp) listen(fd, 4);
  }
  ~HostService() {
    if (conn != -1) close(conn);
    close(fd);
  }
  // The next call as the host sees it (TCP: one record, mark included).
  Bytes Next() {
    pollfd p{fd, POLLIN, 0};
    if (!udp && conn == -1) {
      if (poll(&p, 1, 5000) <= 0) return {};
      conn = accept(fd, nullptr, nullptr);
    }
    const int from = udp ? fd : conn;
    pollfd q{from, POLLIN, 0};
    if (poll(&q, 1, 5000) <= 0) return {};
    Bytes in(512);
    const ssize_t n = recv(from, in.data(), in.size(), 0);
    in.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return in;
  }
  bool udp;
  int fd = -1;
  int conn = -1;
  std::uint16_t port = 0;
};

TEST(InterruptChannelTest, CallLayoutPadsTheHandle) {
  std::uint8_t out[96];
  const std::uint8_t handle[5] = {'a', 'b', 'c', 'd', 'e'};
  const std::uint32_t n = CVxi11InterruptChannel::BuildSrqCall(out, 9, 5, handle);
  ASSERT_EQ(n, 52u);
  const Bytes call(out, out + n);
  const std::uint32_t words[] = {9, 0, 2, 0x0607B1, 1, 30, 0, 0, 0, 0, 5};
  for (std::size_t i = 0; i < 11; ++i) EXPECT_EQ(Get(call, 4 * i), words[i]) << i;
  EXPECT_EQ(Bytes(call.begin() + 44, call.end()), (Bytes{'a', 'b', 'c', 'd', 'e', 0, 0, 0}));
}

TEST(InterruptChannelTest, TcpAndUdpRequestsCarryIncrementingXids) {
  for (bool udp : {false, true}) {
    HostService host(udp);
    CVxi11InterruptChannel channel;
    std::uint32_t status = 1;
    channel.Create(0x7F000001, host.port, udp ? 1 : 0, &status);
    ASSERT_EQ(status, 0u);
    channel.Create(0x7F000001, host.port, udp ? 1 : 0, &status);
    EXPECT_EQ(status, 0x54392u);
    std::vector<std::uint32_t> xids;
    for (int i = 0; i < 3; ++i) {
      const std::uint8_t handle[4] = {'h', 'n', 'd', static_cast<std::uint8_t>('0' + i)};
      channel.SendSrq(4, handle, &status);
      EXPECT_EQ(status, 0u);
      const Bytes got = host.Next();
      const std::size_t at = udp ? 0 : 4;
      if (!udp) {
        EXPECT_EQ(Get(got, 0), 0x80000000u | 48u);
      }
      ASSERT_EQ(got.size(), at + 48) << udp;
      EXPECT_EQ(Get(got, at + 20), 30u);
      EXPECT_EQ(got[at + 47], '0' + i);
      xids.push_back(Get(got, at));
    }
    EXPECT_LT(xids[0], xids[1]);
    EXPECT_LT(xids[1], xids[2]);
    channel.Destroy(&status);
    EXPECT_EQ(status, 0u);
    channel.Destroy(&status);
    EXPECT_EQ(status, 0x54391u);
    channel.SendSrq(0, nullptr, &status);
    EXPECT_EQ(status, 0x54391u);
  }
}

TEST(InterruptChannelTest, AHostThatNeverReadsCannotBlockTheSender) {
  HostService host(false);
  CVxi11InterruptChannel channel;
  std::uint32_t status = 1;
  channel.Create(0x7F000001, host.port, 0, &status);
  ASSERT_EQ(status, 0u);
  // Far more than the socket buffers hold; each call returns at once, later ones report a failure.
  bool dropped = false;
  for (int i = 0; i < 200000 && !dropped; ++i) {
    channel.SendSrq(40, reinterpret_cast<const std::uint8_t*>("0123456789012345678901234567890123456789"), &status);
    dropped = status != 0;
  }
  EXPECT_TRUE(dropped);
}

TEST(InterruptChannelTest, UnreachableHostAndUnknownFamilyAreRefused) {
  HostService closed(false);
  const std::uint16_t port = closed.port;
  close(closed.fd);
  closed.fd = socket(AF_INET, SOCK_STREAM, 0);  // the port is free again: nothing listens
  CVxi11InterruptChannel channel;
  std::uint32_t status = 0;
  channel.Create(0x7F000001, port, 0, &status);
  EXPECT_EQ(status, 0x54391u);
  channel.Create(0x7F000001, port, 2, &status);
  EXPECT_EQ(status, 0x54395u);
}

}  // namespace
