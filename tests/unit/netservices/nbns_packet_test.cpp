// Golden bytes of every name-service packet the server sends, their decoding, and the bounds of
// every read of a received packet.
#include <gtest/gtest.h>

#include "nbns_test_support.h"

using namespace Torvex;
using namespace nbns_test;

namespace {

const std::uint32_t kAddress = Address("10.0.0.5");
// "TORVEX" padded with spaces, then the type byte, first-level encoded.
const std::string kTorvexLetters = "FEEPFCFGEFFICACACACACACACACACA";

std::vector<std::uint8_t> Encoded(const std::string& letters_without_type, const std::string& type_letters) {
  return Concat({Hex("20"), Text(letters_without_type + type_letters), Hex("00")});
}

std::size_t Parse(const std::vector<std::uint8_t>& p) { return nbns_parse_packet({p.data(), p.size()}); }

struct Decoded {
  std::string name;
  int type;
};
Decoded Extract(const std::vector<std::uint8_t>& p, std::size_t offset) {
  Decoded d;
  d.type = nbns_extract_name({p.data(), p.size()}, offset, &d.name);
  return d;
}

TEST(NbnsNameEncoding, EncodesUpperCasedPaddedNameAndType) {
  std::uint8_t buffer[kNbnsEncodedNameLength];
  ASSERT_EQ(nbns_encode_name("torvex", buffer, 0x1D), kNbnsEncodedNameLength);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 34), Encoded(kTorvexLetters, "BN"));
  nbns_encode_name("*", buffer, 0x20);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 34), Encoded("CKAAAAAAAAAAAAAAAAAAAAAAAAAAAA", "AA"));
  // Names longer than 15 characters keep their first 15.
  nbns_encode_name("ABCDEFGHIJKLMNOPQRS", buffer, 0x00);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 34), Encoded("EBECEDEEEFEGEHEIEJEKELEMENEOEP", "AA"));
}

TEST(NbnsNameEncoding, DecodesWhatItEncodes) {
  std::vector<std::uint8_t> p(12, 0);
  p.resize(12 + 34);
  nbns_encode_name("Torvex-7", p.data() + 12, 0x03);
  const Decoded d = Extract(p, 12);
  EXPECT_EQ(d.type, 0x03);
  EXPECT_EQ(d.name, std::string("TORVEX-7       \x03", 16));
  EXPECT_TRUE(nbns_names_equal(d.name, "torvex-7"));
  EXPECT_FALSE(nbns_names_equal(d.name, "torvex-"));
}

TEST(NbnsNameEncoding, MalformedNamesDecodeEmpty) {
  const std::vector<std::uint8_t> good = Encoded(kTorvexLetters, "CA");
  struct Case {
    const char* what;
    std::vector<std::uint8_t> packet;
    std::size_t offset;
    bool valid;
  };
  const std::vector<std::uint8_t> header(12, 0);
  std::vector<std::uint8_t> letter_out_of_range = Concat({header, good});
  letter_out_of_range[14] = 'Q';
  std::vector<std::uint8_t> zero_length = Concat({header, Hex("00")});
  std::vector<std::uint8_t> too_long = Concat({header, Hex("3E"), std::vector<std::uint8_t>(62, 'A')});
  const std::vector<Case> cases = {
      {"name at offset 12", Concat({header, good}), 12, true},
      {"pointer back to offset 12", Concat({header, good, Hex("C00C")}), 46, true},
      {"pointer more than 50 bytes back", Concat({header, good, std::vector<std::uint8_t>(20, 0), Hex("C00C")}), 66,
       false},
      {"pointer to a pointer", Concat({header, Hex("C00E C00C")}), 14, false},
      {"pointer past the end", Concat({header, Hex("C020")}), 12, false},
      {"pointer cut after its first byte", Concat({header, Hex("C0")}), 12, false},
      {"letters running past the datagram",
       Concat({header, std::vector<std::uint8_t>(good.begin(), good.begin() + 20)}), 12, false},
      {"a letter beyond P", letter_out_of_range, 12, false},
      {"length byte 0", zero_length, 12, false},
      {"length byte 62 (31 bytes)", too_long, 12, false},
      {"offset past the end", Concat({header, good}), 200, false},
  };
  for (const Case& c : cases) {
    const Decoded d = Extract(c.packet, c.offset);
    if (c.valid) {
      EXPECT_EQ(d.type, 0x20) << c.what;
      EXPECT_TRUE(nbns_names_equal(d.name, "TORVEX")) << c.what;
    } else {
      EXPECT_EQ(d.type, 0) << c.what;
      EXPECT_EQ(d.name, "") << c.what;
    }
  }
}

TEST(NbnsPackets, RegistrationRefreshAndReleaseRequests) {
  struct Case {
    NbnsNameRequest kind;
    const char* flags;
    const char* ttl;
  };
  for (const Case& c :
       {Case{NbnsNameRequest::Registration, "2910", "000493E0"}, Case{NbnsNameRequest::Refresh, "4810", "000493E0"},
        Case{NbnsNameRequest::Release, "3010", "00000000"}}) {
    const auto p = nbns_build_name_request(c.kind, 374, "Torvex", 0x20, kAddress);
    const auto expected =
        Concat({Hex(std::string("0176") + c.flags + "0001 0000 0000 0001"), Encoded(kTorvexLetters, "CA"),
                Hex("0020 0001"), Hex(std::string("C00C 0020 0001") + c.ttl + "0006 0000 0A000005")});
    EXPECT_EQ(p, expected) << c.flags;
    EXPECT_EQ(Parse(p), p.size());
    NbnsHeader h;
    ASSERT_TRUE(nbns_read_header({p.data(), p.size()}, &h));
    EXPECT_TRUE(h.broadcast);
    EXPECT_FALSE(h.response);
    EXPECT_EQ(h.qdcount, 1);
    EXPECT_EQ(h.arcount, 1);
    EXPECT_EQ(Extract(p, 12).type, 0x20);
    EXPECT_EQ(Extract(p, 50).type, 0x20) << "the record's pointer names the question";
  }
}

TEST(NbnsPackets, QueriesAndNodeStatusRequest) {
  EXPECT_EQ(
      nbns_build_name_query(0x1234, "TORVEX", 0x1D, true),
      Concat({Hex("1234 0110 0001 0000 0000 0000"), Encoded(kTorvexLetters.substr(0, 28), "CABN"), Hex("0020 0001")}));
  const auto unicast = nbns_build_name_query(0x1234, "TORVEX", 0x20, false);
  EXPECT_EQ(unicast, Concat({Hex("1234 0100 0001 0000 0000 0000"), Encoded(kTorvexLetters, "CA"), Hex("0020 0001")}));
  const auto status = nbns_build_node_status_request(0x4242, "*", 0x00);
  EXPECT_EQ(status, Concat({Hex("4242 0000 0001 0000 0000 0000"), Encoded("CKAAAAAAAAAAAAAAAAAAAAAAAAAAAA", "AA"),
                            Hex("0021 0001")}));
  for (const auto& p : {unicast, status}) {
    EXPECT_EQ(Parse(p), p.size());
  }
  std::string name;
  EXPECT_EQ(nbns_extract_name({status.data(), status.size()}, 12, &name), 0);
  EXPECT_EQ(nbns_trim_name(name), "*");
}

TEST(NbnsPackets, NameQueryAndRegistrationAndReleaseResponses) {
  const std::vector<std::uint8_t> q = Encoded(kTorvexLetters, "CA");
  const NbnsQuestionName question{q.data(), q.size()};
  const auto record = [&](const char* ttl, const char* flags, const char* address) {
    return Concat({q, Hex(std::string("0020 0001") + ttl + "0006" + flags + address)});
  };
  struct Case {
    const char* what;
    std::vector<std::uint8_t> packet;
    std::vector<std::uint8_t> expected;
  };
  const std::vector<Case> cases = {
      {"positive name query response", nbns_build_query_response(7, question, kAddress),
       Concat({Hex("0007 8500 0000 0001 0000 0000"), record("00000000", "0000", "0A000005")})},
      {"negative registration response", nbns_build_registration_response(8, false, question, 300, 0x6000, kAddress),
       Concat({Hex("0008 AD86 0000 0001 0000 0000"), record("00000000", "6000", "0A000005")})},
      {"positive registration response", nbns_build_registration_response(9, true, question, 900, 0x0000, kAddress),
       Concat({Hex("0009 AD80 0000 0001 0000 0000"), record("00000384", "0000", "0A000005")})},
      {"positive release response", nbns_build_release_response(10, true, question, 0x2000, kAddress),
       Concat({Hex("000A B400 0000 0001 0000 0000"), record("00000000", "2000", "0A000005")})},
      {"negative release response", nbns_build_release_response(11, false, question, 0x0000, kAddress),
       Concat({Hex("000B B405 0000 0001 0000 0000"), record("00000000", "0000", "0A000005")})},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.packet, c.expected) << c.what;
    EXPECT_EQ(Parse(c.packet), c.packet.size()) << c.what;
    EXPECT_EQ(AnsweredAddress(c.packet), "10.0.0.5") << c.what;
  }
}

TEST(NbnsPackets, NodeStatusResponse) {
  const std::vector<std::uint8_t> q = Encoded("CKAAAAAAAAAAAAAAAAAAAAAAAAAAAA", "AA");
  const auto p =
      nbns_build_node_status_response(0x55, {q.data(), q.size()}, {{"torvex", 0x20, 0x06}, {"WORKGROUP", 0xF0, 0x84}},
                                      {kAddress, 0x01020304, 0x0A0B0C0D});
  std::vector<std::uint8_t> stats(46, 0);
  stats[0] = 10;
  stats[3] = 5;
  const std::vector<std::uint8_t> counters = Hex("04030201 0D0C0B0A");
  std::copy(counters.begin(), counters.end(), stats.begin() + 20);
  const auto entry = [](const std::string& name, const char* tail) {
    std::vector<std::uint8_t> e(15, 0);
    std::copy(name.begin(), name.end(), e.begin());
    return Concat({e, Hex(tail)});
  };
  const auto expected = Concat({Hex("0055 8400 0000 0001 0000 0000"), q, Hex("0021 0001 00000000"),
                                Hex("0053 02"),  // 1 + 2 x 18 + 46 = 83
                                entry("TORVEX", "20 06 00"), entry("WORKGROUP", "F0 84 00"), stats});
  EXPECT_EQ(p, expected);
  EXPECT_EQ(Parse(p), p.size());
  std::vector<NbnsStatusName> names;
  ASSERT_TRUE(nbns_read_status_names({p.data(), p.size()}, &names));
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[1].name, "WORKGROUP");
  EXPECT_EQ(names[1].type, 0xF0);
  EXPECT_EQ(names[1].flags, 0x84);
}

TEST(NbnsPackets, ShortAndInconsistentPacketsAreRejected) {
  const auto good = nbns_build_name_request(NbnsNameRequest::Registration, 1, "TORVEX", 0x20, kAddress);
  auto too_many_questions = good;
  too_many_questions[4] = 0;
  too_many_questions[5] = 101;
  ASSERT_GT(good.size(), 12u + 7u);  // a header and a record's last 7 bytes at least
  auto long_rdlength = good;
  long_rdlength[good.size() - 7] = 7;  // RDLENGTH 7 with 6 bytes of RDATA
  auto extra_record = good;
  extra_record[7] = 1;  // ANCOUNT 1 with no answer record
  auto reserved_label = good;
  reserved_label[12] = 0x60;
  struct Case {
    const char* what;
    std::vector<std::uint8_t> packet;
  };
  for (const Case& c :
       {Case{"empty", {}}, Case{"11-byte header", Hex("0001 0000 0000 0000 0000 00")},
        Case{"QDCOUNT 101", too_many_questions}, Case{"cut in the question", {good.begin(), good.begin() + 30}},
        Case{"cut in the record", {good.begin(), good.end() - 3}}, Case{"RDLENGTH past the datagram", long_rdlength},
        Case{"record count beyond the records", extra_record}, Case{"reserved label kind", reserved_label}}) {
    EXPECT_EQ(Parse(c.packet), 0u) << c.what;
  }
  std::uint32_t address = 0;
  EXPECT_FALSE(nbns_read_first_address({good.data(), 40}, &address));
  std::vector<NbnsStatusName> names;
  auto status = nbns_build_node_status_response(1, {good.data() + 12, 34}, {{"A", 0, 4}}, {0, 0, 0});
  status[56] = 30;  // NUM_NAMES beyond RDLENGTH
  EXPECT_FALSE(nbns_read_status_names({status.data(), status.size()}, &names));
}

}  // namespace
