// What the name server answers to each kind of received packet (construct_reply), driven directly
// with the server's state set up as a start sets it; answers travel over loopback sockets.
#include <gtest/gtest.h>

#include <cstring>

#include "nbns_test_support.h"

using namespace Torvex;
using namespace nbns_test;

namespace {

std::time_t s_FakeNow = 1000000;
std::time_t FakeClock() { return s_FakeNow; }

class NbnsReplyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_Server.Bound());
    ASSERT_TRUE(m_Peer.Bound());
    s_FakeNow = 1000000;
    nbns_set_clock(FakeClock);
    g_NbnsNameSocket.store(m_Server.Fd());
    g_NbnsNamePort = m_Peer.Port();
    g_NbnsOwnAddress = Address("127.0.0.1");
    g_NbnsNetmask = Address("255.0.0.0");
    g_NbnsBroadcast = Address("127.255.255.255");
    g_NbnsHostName = "Torvex";
    g_NbnsStartStatus.store(0);
    nbns_num_good_sends = 0;
    nbns_num_good_receives = 0;
    nbns_clear_names();
    nbns_add_group_name("WORKGRP", g_NbnsBroadcast);
    for (int type : {0x20, 0x00, 0x03}) nbns_add_name("Torvex", type, g_NbnsOwnAddress);
    nbns_add_name("__SAMBA__", 0x20, g_NbnsOwnAddress);
    nbns_add_name("__SAMBA__", 0x00, g_NbnsOwnAddress);
  }
  void TearDown() override {
    g_NbnsNameSocket.store(-1);
    nbns_clear_names();
    nbns_set_clock(nullptr);
  }

  // Hands `packet` to construct_reply as if it came from `from` at the peer's port, and returns the
  // answer the peer received, if any.
  std::optional<std::vector<std::uint8_t>> Exchange(const std::vector<std::uint8_t>& packet,
                                                    const char* from = "127.0.0.1") {
    g_NbnsLastSource = {Address(from), m_Peer.Port()};
    construct_reply(packet.data(), packet.size());
    return m_Peer.ReceiveNow();
  }

  static std::vector<std::uint8_t> Unicast(std::vector<std::uint8_t> p) {
    p[3] &= static_cast<std::uint8_t>(~0x10);
    return p;
  }

  UdpSocket m_Server;
  UdpSocket m_Peer{0, "0.0.0.0"};  // any address: answers to 127.0.0.x reach it
};

struct QueryCase {
  const char* what;
  std::string name;
  std::uint8_t type;
  bool broadcast;
  const char* answer;  // nullptr: no answer
};

TEST_F(NbnsReplyTest, NameQueries) {
  const std::vector<QueryCase> cases = {
      {"host name, type 0x20, broadcast", "TORVEX", 0x20, true, "127.0.0.1"},
      {"host name, type 0x00, broadcast", "torvex", 0x00, true, "127.0.0.1"},
      {"host name, type 0x03, unicast", "Torvex", 0x03, false, "127.0.0.1"},
      {"__SAMBA__ type 0x20", "__SAMBA__", 0x20, true, "127.0.0.1"},
      {"\"*\"", "*", 0x20, true, "127.0.0.1"},
      {"host name of another type", "TORVEX", 0x1D, true, nullptr},
      {"unknown name, broadcast", "OTHERHOST", 0x20, true, nullptr},
      {"unknown name, unicast, type 0x20", "OTHERHOST", 0x20, false, nullptr},
      {"unknown name, unicast, type 0x00", "OTHERHOST", 0x00, false, nullptr},
      {"the group name", "WORKGRP", 0xF0, false, nullptr},
  };
  for (const QueryCase& c : cases) {
    const auto query = nbns_build_name_query(0x2000, c.name, c.type, c.broadcast);
    const auto answer = Exchange(query);
    if (c.answer == nullptr) {
      EXPECT_FALSE(answer.has_value()) << c.what;
      continue;
    }
    ASSERT_TRUE(answer.has_value()) << c.what;
    EXPECT_EQ(TrnId(*answer), 0x2000) << c.what;
    EXPECT_EQ((*answer)[2], 0x85) << c.what;
    EXPECT_EQ(AnsweredAddress(*answer), c.answer) << c.what;
    // The answer repeats the question name as received.
    EXPECT_EQ(std::vector<std::uint8_t>(answer->begin() + 12, answer->begin() + 46),
              std::vector<std::uint8_t>(query.begin() + 12, query.begin() + 46))
        << c.what;
  }
}

TEST_F(NbnsReplyTest, QueriesTeachTheServerNoNames) {
  const std::size_t entries = g_NbnsNameTable.size();
  EXPECT_FALSE(Exchange(nbns_build_name_query(1, "STRANGER", 0x20, false)).has_value());
  EXPECT_FALSE(Exchange(nbns_build_name_query(2, "STRANGER", 0x20, true)).has_value());
  EXPECT_EQ(g_NbnsNameTable.size(), entries);
  EXPECT_EQ(nbns_find_name("STRANGER", 0x20, true), -1);
}

TEST_F(NbnsReplyTest, NodeStatusListsTheOwnNames) {
  const auto answer = Exchange(nbns_build_node_status_request(0x3333, "*", 0x00));
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ((*answer)[2], 0x84);
  std::vector<NbnsStatusName> names;
  ASSERT_TRUE(nbns_read_status_names({answer->data(), answer->size()}, &names));
  struct Expected {
    const char* name;
    int type;
    int flags;
  };
  const std::vector<Expected> expected = {{"WORKGRP", 0xF0, 0x84},   {"TORVEX", 0x20, 0x06},
                                          {"TORVEX", 0x00, 0x06},    {"TORVEX", 0x03, 0x06},
                                          {"__SAMBA__", 0x20, 0x04}, {"__SAMBA__", 0x00, 0x04}};
  ASSERT_EQ(names.size(), expected.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(names[i].name, expected[i].name) << i;
    EXPECT_EQ(names[i].type, expected[i].type) << i;
    EXPECT_EQ(names[i].flags, expected[i].flags) << i;
  }
  // Statistics: the own address first.
  const std::size_t stats = answer->size() - 46;
  EXPECT_EQ(std::vector<std::uint8_t>(answer->begin() + static_cast<long>(stats),
                                      answer->begin() + static_cast<long>(stats) + 4),
            Hex("7F000001"));

  EXPECT_TRUE(Exchange(nbns_build_node_status_request(1, "TORVEX", 0x20)).has_value());
  EXPECT_FALSE(Exchange(nbns_build_node_status_request(2, "NOBODY", 0x20)).has_value());
}

TEST_F(NbnsReplyTest, NodeStatusListIsCappedAt22Names) {
  for (int i = 0; i < 40; ++i) nbns_add_name("NAME" + std::to_string(i), 0x20, g_NbnsOwnAddress);
  const auto answer = Exchange(nbns_build_node_status_request(1, "*", 0x00));
  ASSERT_TRUE(answer.has_value());
  std::vector<NbnsStatusName> names;
  ASSERT_TRUE(nbns_read_status_names({answer->data(), answer->size()}, &names));
  EXPECT_EQ(names.size(), 22u);
}

TEST_F(NbnsReplyTest, RegistrationOfTheHostNameByAnotherAddressIsRefused) {
  const auto request = nbns_build_name_request(NbnsNameRequest::Registration, 77, "torvex", 0x00, Address("127.0.0.2"));
  const auto answer = Exchange(request, "127.0.0.2");
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(TrnId(*answer), 77);
  EXPECT_EQ((*answer)[2], 0xAD);
  EXPECT_EQ((*answer)[3], 0x86);
  EXPECT_EQ(AnsweredAddress(*answer), "127.0.0.1");

  // The server's own broadcast heard back, and other names, are neither answered nor stored.
  EXPECT_FALSE(Exchange(nbns_build_name_request(NbnsNameRequest::Registration, 78, "TORVEX", 0x20, g_NbnsOwnAddress))
                   .has_value());
  EXPECT_FALSE(Exchange(nbns_build_name_request(NbnsNameRequest::Registration, 79, "PEER", 0x20, Address("127.0.0.2")))
                   .has_value());
  EXPECT_EQ(nbns_find_name("PEER", 0x20, true), -1);
}

TEST_F(NbnsReplyTest, RefreshAndReleaseOfAnotherHostsName) {
  const std::uint32_t peer = Address("127.0.0.9");
  const auto refresh = Unicast(nbns_build_name_request(NbnsNameRequest::Refresh, 5, "PEER", 0x20, peer));
  const auto granted = Exchange(refresh, "127.0.0.9");
  ASSERT_TRUE(granted.has_value());
  EXPECT_EQ((*granted)[2], 0xAD);
  EXPECT_EQ((*granted)[3], 0x80);
  EXPECT_EQ(AnsweredAddress(*granted), "127.0.0.9");
  EXPECT_EQ(Hex("00000384"), std::vector<std::uint8_t>(granted->begin() + 50, granted->begin() + 54))
      << "a TTL of 300000 s is granted as 900 s";

  auto answer = Exchange(nbns_build_name_query(6, "PEER", 0x20, false));
  ASSERT_TRUE(answer.has_value()) << "answered to unicast queries";
  EXPECT_EQ(AnsweredAddress(*answer), "127.0.0.9");
  EXPECT_FALSE(Exchange(nbns_build_name_query(7, "PEER", 0x20, true)).has_value()) << "not to broadcast ones";

  const auto release_from = [&](const char* address) {
    return Unicast(nbns_build_name_request(NbnsNameRequest::Release, 8, "PEER", 0x20, Address(address)));
  };
  answer = Exchange(release_from("127.0.0.8"), "127.0.0.8");
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ((*answer)[2], 0xB4);
  EXPECT_EQ((*answer)[3], 0x05);
  answer = Exchange(release_from("127.0.0.9"), "127.0.0.9");
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ((*answer)[3], 0x00);
  EXPECT_FALSE(Exchange(nbns_build_name_query(9, "PEER", 0x20, false)).has_value());
}

TEST_F(NbnsReplyTest, OwnNamesCannotBeRefreshedOrReleasedByOthers) {
  const std::uint32_t peer = Address("127.0.0.9");
  EXPECT_FALSE(
      Exchange(Unicast(nbns_build_name_request(NbnsNameRequest::Refresh, 1, "TORVEX", 0x20, peer))).has_value());
  const auto released = Exchange(Unicast(nbns_build_name_request(NbnsNameRequest::Release, 2, "TORVEX", 0x20, peer)));
  ASSERT_TRUE(released.has_value());
  EXPECT_EQ((*released)[3], 0x05);
  const auto answer = Exchange(nbns_build_name_query(3, "TORVEX", 0x20, true));
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(AnsweredAddress(*answer), "127.0.0.1");
}

TEST_F(NbnsReplyTest, BroadcastRefreshesAndReleasesAreIgnored) {
  const std::uint32_t peer = Address("127.0.0.9");
  EXPECT_FALSE(Exchange(nbns_build_name_request(NbnsNameRequest::Refresh, 1, "PEER", 0x20, peer)).has_value());
  EXPECT_EQ(nbns_find_name("PEER", 0x20, true), -1);
  EXPECT_FALSE(
      Exchange(nbns_build_name_request(NbnsNameRequest::Release, 2, "TORVEX", 0x20, g_NbnsOwnAddress)).has_value());
  EXPECT_GE(nbns_find_name("TORVEX", 0x20, false), 0);
}

TEST_F(NbnsReplyTest, RefreshedNamesExpireWithTheirTtl) {
  auto refresh = Unicast(nbns_build_name_request(NbnsNameRequest::Refresh, 5, "PEER", 0x20, Address("127.0.0.9")));
  // TTL 60 s (the record ends with TTL, RDLENGTH, NB_FLAGS and NB_ADDRESS).
  refresh[refresh.size() - 12] = 0;
  refresh[refresh.size() - 11] = 0;
  refresh[refresh.size() - 10] = 0;
  refresh[refresh.size() - 9] = 60;
  ASSERT_TRUE(Exchange(refresh).has_value());
  s_FakeNow += 60;
  EXPECT_TRUE(Exchange(nbns_build_name_query(6, "PEER", 0x20, false)).has_value());
  s_FakeNow += 1;
  EXPECT_FALSE(Exchange(nbns_build_name_query(7, "PEER", 0x20, false)).has_value());
}

TEST_F(NbnsReplyTest, TheNameTableIsCapped) {
  for (int i = 0; i < 200; ++i) {
    const std::string name = "PEER" + std::to_string(i);
    Exchange(Unicast(nbns_build_name_request(NbnsNameRequest::Refresh, static_cast<std::uint16_t>(i), name, 0x20,
                                             Address("127.0.0.9"))));
  }
  EXPECT_EQ(g_NbnsNameTable.size(), kNbnsMaxNames);
  // A refresh the table cannot hold is not confirmed; the own names are still answered.
  EXPECT_FALSE(
      Exchange(Unicast(nbns_build_name_request(NbnsNameRequest::Refresh, 999, "LATECOMER", 0x20, Address("127.0.0.9"))))
          .has_value());
  EXPECT_TRUE(Exchange(nbns_build_name_query(1000, "TORVEX", 0x20, true)).has_value());
}

TEST_F(NbnsReplyTest, NegativeRegistrationResponsesSetTheStartStatus) {
  const auto q = nbns_build_name_query(1, "TORVEX", 0x20, false);
  const NbnsQuestionName question{q.data() + 12, 34};
  struct Case {
    const char* what;
    std::vector<std::uint8_t> packet;
    int status;
  };
  auto rcode7 = nbns_build_registration_response(1, false, question, 0, 0, Address("127.0.0.2"));
  rcode7[3] = 0x87;
  auto with_broadcast = nbns_build_registration_response(1, false, question, 0, 0, Address("127.0.0.2"));
  with_broadcast[3] |= 0x10;
  const std::vector<Case> cases = {
      {"negative, RCODE 6", nbns_build_registration_response(1, false, question, 0, 0, Address("127.0.0.2")), 1},
      {"positive", nbns_build_registration_response(1, true, question, 900, 0, Address("127.0.0.2")), 0},
      {"RCODE 7", rcode7, 0},
      {"B set", with_broadcast, 0},
      {"negative query response (opcode 0)",
       [&] {
         auto p = nbns_build_query_response(1, question, 0);
         p[3] = 0x83;
         return p;
       }(),
       0},
  };
  for (const Case& c : cases) {
    g_NbnsStartStatus.store(0);
    EXPECT_FALSE(Exchange(c.packet).has_value()) << c.what;
    EXPECT_EQ(g_NbnsStartStatus.load(), c.status) << c.what;
  }
}

TEST_F(NbnsReplyTest, ShortAndInconsistentPacketsAreDropped) {
  const auto query = nbns_build_name_query(1, "TORVEX", 0x20, true);
  const auto registration =
      nbns_build_name_request(NbnsNameRequest::Registration, 2, "TORVEX", 0x20, Address("127.0.0.2"));
  auto no_rdata = registration;
  no_rdata[no_rdata.size() - 7] = 2;  // RDLENGTH 2: no NB_ADDRESS
  no_rdata.resize(no_rdata.size() - 4);
  auto pointer_loop = query;
  pointer_loop[12] = 0xC0;
  pointer_loop[13] = 0x0C;
  struct Case {
    const char* what;
    std::vector<std::uint8_t> packet;
  };
  for (const Case& c :
       {Case{"header only", {query.begin(), query.begin() + 12}}, Case{"4 bytes", {query.begin(), query.begin() + 4}},
        Case{"question cut", {query.begin(), query.end() - 2}},
        Case{"registration cut in NB_ADDRESS", {registration.begin(), registration.end() - 2}},
        Case{"registration whose RDATA holds no address", no_rdata},
        Case{"question name pointing at itself", pointer_loop}}) {
    EXPECT_FALSE(Exchange(c.packet, "127.0.0.2").has_value()) << c.what;
  }
}

}  // namespace
