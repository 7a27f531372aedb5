// Record marking, call-header decoding and reply building of the VXI-11 RPC layer.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/COSSocket.h"
#include "vxi11/Vxi11Rpc.h"
#include "vxi11_wire.h"

namespace {

using vxi11_test::Bytes;
using vxi11_test::Put;

// A connected pair: the reader side as a COSSocket, the writer as a plain descriptor.
class RecordReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    reader_.fd = fds[0];
    writer_ = fds[1];
  }
  void TearDown() override {
    reader_.Close();
    if (writer_ != -1) close(writer_);
  }
  void Write(const Bytes& bytes) {
    ASSERT_EQ(write(writer_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  static Bytes Fragment(const Bytes& body, bool last) {
    Bytes out;
    Put(&out, (last ? 0x80000000u : 0u) | static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
  }

  COSSocket reader_;
  int writer_ = -1;
};

TEST_F(RecordReaderTest, GathersFragmentsIncludingEmptyOnes) {
  struct Case {
    std::vector<Bytes> fragments;
    Bytes expected;
  };
  const Case cases[] = {
      {{{1, 2, 3, 4}}, {1, 2, 3, 4}},
      {{{1, 2}, {}, {3}, {4, 5, 6}}, {1, 2, 3, 4, 5, 6}},
      {{{}, {9}}, {9}},
      {{{}}, {}},
  };
  for (const Case& c : cases) {
    Bytes stream;
    for (std::size_t i = 0; i < c.fragments.size(); ++i) {
      const Bytes f = Fragment(c.fragments[i], i + 1 == c.fragments.size());
      stream.insert(stream.end(), f.begin(), f.end());
    }
    Write(stream);
    std::uint8_t buffer[64];
    std::uint32_t length = 99;
    EXPECT_EQ(Vxi11ReadRecord(&reader_, buffer, sizeof buffer, 1024, &length), Vxi11RecordResult::kComplete);
    EXPECT_EQ(Bytes(buffer, buffer + length), c.expected);
  }
}

TEST_F(RecordReaderTest, ByteByByteArrivalDoesNotShiftTheData) {
  const Bytes stream = Fragment({10, 20, 30, 40, 50}, true);
  std::thread writer([&] {
    for (std::uint8_t byte : stream) {
      ASSERT_EQ(write(writer_, &byte, 1), 1);
    }
  });
  std::uint8_t buffer[16];
  std::uint32_t length = 0;
  EXPECT_EQ(Vxi11ReadRecord(&reader_, buffer, sizeof buffer, 1024, &length), Vxi11RecordResult::kComplete);
  writer.join();
  EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{10, 20, 30, 40, 50}));
}

TEST_F(RecordReaderTest, OversizedRecordIsDrainedAndTheNextRecordIsIntact) {
  Bytes big(100, 0xAA);
  Bytes stream = Fragment(Bytes(big.begin(), big.begin() + 60), false);
  const Bytes tail = Fragment(Bytes(big.begin() + 60, big.end()), true);
  stream.insert(stream.end(), tail.begin(), tail.end());
  const Bytes next = Fragment({7, 7, 7, 7}, true);
  stream.insert(stream.end(), next.begin(), next.end());
  Write(stream);
  std::uint8_t buffer[16];
  std::uint32_t length = 0;
  EXPECT_EQ(Vxi11ReadRecord(&reader_, buffer, sizeof buffer, 1024, &length), Vxi11RecordResult::kTruncated);
  EXPECT_EQ(length, 16u);
  EXPECT_EQ(Vxi11ReadRecord(&reader_, buffer, sizeof buffer, 1024, &length), Vxi11RecordResult::kComplete);
  EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{7, 7, 7, 7}));
}

TEST_F(RecordReaderTest, RecordBeyondTheDrainLimitOrCutShortFails) {
  Bytes mark;
  Put(&mark, 0xFFFFFFFFu);  // a single fragment of 2 GiB
  Write(mark);
  std::uint8_t buffer[16];
  std::uint32_t length = 0;
  EXPECT_EQ(Vxi11ReadRecord(&reader_, buffer, sizeof buffer, 1024, &length), Vxi11RecordResult::kFailed);

  Write(Bytes{0x80, 0, 0, 8, 1, 2});  // declares 8 bytes, sends 2, then closes
  close(writer_);
  writer_ = -1;
  EXPECT_EQ(Vxi11ReadRecord(&reader_, buffer, sizeof buffer, 1024, &length), Vxi11RecordResult::kFailed);
}

TEST_F(RecordReaderTest, ReadAheadKeepsRecordsApartWhateverTheirSizes) {
  // Records sent in one go: small, one larger than the read-ahead (kept in part), small in fragments.
  Bytes stream = Fragment({1, 2, 3, 4}, true);
  Bytes big(20000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i);
  for (const Bytes& f :
       {Fragment(Bytes(big.begin(), big.begin() + 9000), false), Fragment(Bytes(big.begin() + 9000, big.end()), true),
        Fragment({5}, false), Fragment({}, false), Fragment({6, 7}, true)}) {
    stream.insert(stream.end(), f.begin(), f.end());
  }
  std::thread writer([&] { Write(stream); });
  auto ahead = std::make_unique<Vxi11ReadAhead>();
  std::vector<std::uint8_t> buffer(12000);
  std::uint32_t length = 0;
  const auto capacity = static_cast<std::uint32_t>(buffer.size());
  EXPECT_EQ(Vxi11ReadRecord(&reader_, buffer.data(), capacity, 1 << 20, &length, ahead.get()),
            Vxi11RecordResult::kComplete);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(Vxi11ReadRecord(&reader_, buffer.data(), capacity, 1 << 20, &length, ahead.get()),
            Vxi11RecordResult::kTruncated);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), Bytes(big.begin(), big.begin() + 12000));
  EXPECT_EQ(Vxi11ReadRecord(&reader_, buffer.data(), capacity, 1 << 20, &length, ahead.get()),
            Vxi11RecordResult::kComplete);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), (Bytes{5, 6, 7}));
  writer.join();
}

// The parser of streams read without blocking: whole records only, fragments joined, nothing taken
// while a record is incomplete, a record longer than the room refused from its marks alone.
TEST(RecordParserTest, TakesWholeRecordsOnly) {
  const auto fragment = [](std::uint32_t length, bool last) {
    Bytes out;
    Put(&out, (last ? 0x80000000u : 0u) | length);
    for (std::uint32_t i = 0; i < length; ++i) out.push_back(static_cast<std::uint8_t>('a' + i % 26));
    return out;
  };
  const auto join = [](std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  struct Case {
    const char* name;
    Bytes stream;
    std::uint32_t capacity;
    Vxi11ParseResult result;
    std::string record;      // on kComplete
    std::uint32_t consumed;  // on kComplete
  };
  const Case cases[] = {
      {"one fragment", fragment(8, true), 16, Vxi11ParseResult::kComplete, "abcdefgh", 12},
      {"empty last fragment", fragment(0, true), 16, Vxi11ParseResult::kComplete, "", 4},
      {"fragments with an empty one", join({fragment(4, false), fragment(0, false), fragment(3, true)}), 16,
       Vxi11ParseResult::kComplete, "abcdabc", 19},
      {"a second record behind", join({fragment(4, true), fragment(8, true)}), 16, Vxi11ParseResult::kComplete, "abcd",
       8},
      {"exactly the room", fragment(16, true), 16, Vxi11ParseResult::kComplete, "abcdefghijklmnop", 20},
      {"mark cut short", Bytes{0x80, 0x00}, 16, Vxi11ParseResult::kIncomplete, "", 0},
      {"body cut short", Bytes{0x80, 0, 0, 8, 'a', 'b'}, 16, Vxi11ParseResult::kIncomplete, "", 0},
      {"last fragment still to come", fragment(4, false), 16, Vxi11ParseResult::kIncomplete, "", 0},
      {"longer than the room", fragment(17, true), 16, Vxi11ParseResult::kTooLong, "", 0},
      {"fragments together longer than the room", join({fragment(12, false), fragment(8, true)}), 16,
       Vxi11ParseResult::kTooLong, "", 0},
      {"a huge mark before its bytes", Bytes{0xFF, 0xFF, 0xFF, 0xFF}, 16, Vxi11ParseResult::kTooLong, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> out(c.capacity + 8, 0xEE);
    std::uint32_t length = 99;
    std::uint32_t consumed = 99;
    const Vxi11ParseResult result = Vxi11ParseRecord(c.stream.data(), static_cast<std::uint32_t>(c.stream.size()),
                                                     out.data(), c.capacity, &length, &consumed);
    EXPECT_EQ(result, c.result);
    if (result == Vxi11ParseResult::kComplete) {
      EXPECT_EQ(std::string(out.begin(), out.begin() + length), c.record);
      EXPECT_EQ(consumed, c.consumed);
    }
    EXPECT_EQ(out[c.capacity], 0xEE) << "written past the room";
  }
}

TEST(CallDecoderTest, SkipsCredentialAndVerifierByTheirLengths) {
  struct Case {
    std::size_t cred;
    std::size_t verf;
    bool ok;
  };
  const Case cases[] = {{0, 0, true}, {5, 0, true}, {84, 8, true}, {400, 400, true}, {401, 0, false}, {0, 404, false}};
  for (const Case& c : cases) {
    vxi11_test::CallSpec spec;
    spec.proc = 11;
    spec.cred_flavor = 1;
    spec.cred = Bytes(c.cred, 0x55);
    spec.verf = Bytes(c.verf, 0x66);
    const Bytes message = vxi11_test::Call(spec, vxi11_test::ArgWords({0xABCD0001, 2}));
    Vxi11CallHeader header;
    EXPECT_EQ(Vxi11DecodeCall(message.data(), static_cast<std::uint32_t>(message.size()), &header), c.ok)
        << c.cred << "/" << c.verf;
    EXPECT_EQ(header.xid, spec.xid);
    if (c.ok) {
      ASSERT_EQ(header.args_length, 8u);
      EXPECT_EQ(XdrGet(header.args), 0xABCD0001u);
      EXPECT_EQ(header.proc, 11u);
    }
  }
}

TEST(CallDecoderTest, AuthenticatorLengthsRunningPastTheMessageAreRefused) {
  for (std::uint32_t cut : {0u, 3u, 4u, 23u, 24u, 31u, 32u, 39u}) {
    vxi11_test::CallSpec spec;
    spec.cred = Bytes(8, 1);
    const Bytes message = vxi11_test::Call(spec);  // 48 bytes, no arguments
    Vxi11CallHeader header;
    EXPECT_FALSE(Vxi11DecodeCall(message.data(), cut, &header)) << cut;
  }
  Bytes lying = vxi11_test::Call(vxi11_test::CallSpec{});
  lying[31] = 200;  // credential length 200 with nothing behind it
  Vxi11CallHeader header;
  EXPECT_FALSE(Vxi11DecodeCall(lying.data(), static_cast<std::uint32_t>(lying.size()), &header));
}

TEST(ErrorReplyTest, EveryReasonHasItsLayout) {
  struct Case {
    std::uint32_t reason;
    Bytes words;
  };
  auto words = [](std::initializer_list<std::uint32_t> list) {
    Bytes out;
    for (std::uint32_t w : list) Put(&out, w);
    return out;
  };
  const std::uint32_t xid = 0x01020304;
  const Case cases[] = {
      {0, words({xid, 1, 1, 0, 2, 2})}, {1, words({xid, 1, 0, 0, 0, 1})}, {2, words({xid, 1, 0, 0, 0, 2, 3, 4})},
      {3, words({xid, 1, 0, 0, 0, 3})}, {4, words({xid, 1, 0, 0, 0, 4})},
  };
  for (const Case& c : cases) {
    std::uint8_t out[32];
    std::uint32_t raw;
    const Bytes xid_bytes = words({xid});
    std::memcpy(&raw, xid_bytes.data(), 4);
    const std::uint32_t n = Vxi11BuildErrorReply(out, raw, c.reason, 3, 4);
    EXPECT_EQ(Bytes(out, out + n), c.words) << "reason " << c.reason;
  }
}

TEST(ErrorCodeTest, InternalStatusesMapToVxi11Errors) {
  const std::pair<std::uint32_t, std::uint32_t> cases[] = {
      {0, 0},       {0x54310, 21}, {0x54315, 11}, {0x54316, 12}, {0x54324, 15}, {0x5434F, 5}, {0x54390, 4},
      {0x54391, 6}, {0x54392, 29}, {0x54395, 8},  {0x54396, 23}, {0x543F0, 9},  {0x54303, 3}, {0x543FF, 3},
  };
  for (const auto& c : cases) EXPECT_EQ(Vxi11ErrorFromStatus(c.first), c.second) << std::hex << c.first;
}

}  // namespace
