// The device's one message exchange shared by several links: a link's query is answered to that link
// even when another link writes meanwhile; a command without a response frees the exchange at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "vxi11_device_fixture.h"

namespace torvex_test {
namespace {

using LinkExchangeTest = Vxi11EngineTest;

CVxi11PhysicalInterface* Inst0() { return Vxi11InterfaceManager()->FindInterface("inst0"); }

// Another link's write does not wait for the first link's client to read: once the first query's
// response is queued, it is taken into that link's own buffer and the second message is delivered.
TEST_F(LinkExchangeTest, AnotherLinksQueryIsAnsweredBeforeTheFirstLinkReads) {
  IdnInstrument device;
  device.long_reply = "LONG-ANSWER\n";
  ASSERT_EQ(device.Start(), 0u);
  FakeConnection a;
  FakeConnection b;
  const std::uint32_t la = Link(&a);
  const std::uint32_t lb = Link(&b);
  Write(&a, la, "*IDN?\n");
  EXPECT_EQ(Inst0()->Exchange()->Owner(), la);

  std::atomic<bool> b_wrote{false};
  std::thread other([&] {
    Write(&b, lb, "LONG?\n", 10000);
    b_wrote = true;
  });
  EXPECT_TRUE(WaitFor([&] { return b_wrote.load(); }, std::chrono::seconds(5)));
  other.join();
  EXPECT_EQ(Inst0()->Exchange()->Owner(), lb);
  std::uint32_t reason = 0;
  std::uint32_t status = 0xFFFFFFFF;
  EXPECT_EQ(Read(&b, lb, 1000, &reason, &status), "LONG-ANSWER\n");
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(reason & kVxi11ReasonEnd, kVxi11ReasonEnd);
  reason = 0;
  EXPECT_EQ(Read(&a, la, 1000, &reason, &status), kIdnReply);  // neither interrupted nor lost
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(reason & kVxi11ReasonEnd, kVxi11ReasonEnd);
  EXPECT_EQ(Inst0()->Exchange()->Owner(), 0u);
  EXPECT_FALSE(Inst0()->Exchange()->HasMailbox(la));
}

// A response kept for its link is read like one from the device: in pieces of the requested size,
// ending at the termination character when asked, with END on its last byte only.
TEST_F(LinkExchangeTest, KeptResponseIsReadInPiecesWithEndOnTheLast) {
  IdnInstrument device;
  device.long_reply = "AB\nCDEFG\n";
  ASSERT_EQ(device.Start(), 0u);
  FakeConnection a;
  FakeConnection b;
  const std::uint32_t la = Link(&a);
  const std::uint32_t lb = Link(&b);
  Write(&a, la, "LONG?\n");
  Write(&b, lb, "*IDN?\n", 10000);  // takes a's response out of the way
  ASSERT_TRUE(Inst0()->Exchange()->HasMailbox(la));

  struct Piece {
    std::uint32_t count;
    bool termchar_set;
    std::string text;
    std::uint32_t reason;
  };
  const Piece pieces[] = {
      {2, false, "AB", 0},
      {10, true, "\n", kVxi11ReasonTermChar},
      {3, false, "CDE", 0},
      {10, false, "FG\n", kVxi11ReasonEnd},
  };
  for (const Piece& piece : pieces) {
    std::uint32_t reason = 0;
    std::uint32_t status = 0xFFFFFFFF;
    EXPECT_EQ(Read(&a, la, piece.count, &reason, &status, 1000, piece.termchar_set, '\n'), piece.text);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(reason, piece.reason) << piece.text;
  }
  EXPECT_FALSE(Inst0()->Exchange()->HasMailbox(la));
  std::uint32_t reason = 0;
  std::uint32_t status = 0xFFFFFFFF;
  EXPECT_EQ(Read(&b, lb, 1000, &reason, &status), kIdnReply);
  EXPECT_EQ(status, 0u);
}

TEST_F(LinkExchangeTest, CommandWithoutResponseFreesTheExchange) {
  IdnInstrument device;
  device.long_reply = "B-ANSWER\n";
  ASSERT_EQ(device.Start(), 0u);
  FakeConnection a;
  const std::uint32_t la = Link(&a);
  Write(&a, la, "*CLS\n");
  EXPECT_TRUE(WaitFor([&] { return Inst0()->Exchange()->Owner() == 0; }));
  // A query keeps it until its response was read, or the link goes: then its response reaches nobody,
  // and another link's query is answered with its own response.
  Write(&a, la, "*IDN?\n");
  EXPECT_EQ(Inst0()->Exchange()->Owner(), la);
  std::uint32_t status = 0;
  Vxi11DestroyLinkHandler(&a, la, &status);
  FakeConnection b;
  const std::uint32_t lb = Link(&b);
  Write(&b, lb, "LONG?\n");
  std::uint32_t reason = 0;
  EXPECT_EQ(Read(&b, lb, 1000, &reason, &status), device.long_reply);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(Inst0()->Exchange()->Owner(), 0u);
}

// Responses set aside for links that do not read are kept up to the budget; beyond it, the next
// message interrupts the owner's response (the device reports it), and that owner's next read fails
// with "response lost" (not an empty success, not a time-out); every other read gets its own answer.
TEST_F(LinkExchangeTest, BeyondTheBudgetAnUnreadResponseIsLostAndItsLinkHearsSo) {
  IdnInstrument device;
  device.long_reply = std::string(16000, 'x') + "\n";
  device.post_input_with_response = true;
  ASSERT_EQ(device.Start(), 0u);
  const int links = static_cast<int>(kVxi11SetAsideBudget / device.long_reply.size()) + 8;
  FakeConnection connection;
  std::vector<std::uint32_t> lids;
  for (int k = 0; k < links; ++k) {
    lids.push_back(Link(&connection));
    std::uint32_t status = 0xFFFFFFFF;
    Write(&connection, lids.back(), "LONG?\n", 5000, &status);
    ASSERT_EQ(status, 0u) << k;
  }
  EXPECT_LE(Inst0()->Exchange()->SetAsideBytes(), kVxi11SetAsideBudget + device.long_reply.size());
  int kept = 0;
  int lost = 0;
  for (int k = 0; k < links; ++k) {
    std::uint32_t reason = 0;
    std::uint32_t status = 0xFFFFFFFF;
    const std::string reply = Read(&connection, lids[static_cast<std::size_t>(k)], 20000, &reason, &status, 1000);
    if (status == kVxi11StatusResponseLost) {
      EXPECT_TRUE(reply.empty());
      EXPECT_EQ(kept, static_cast<int>(kVxi11SetAsideBudget / device.long_reply.size()) + 1) << k;
      ++lost;
      // Reported once: nothing more is owed to the link.
      Read(&connection, lids[static_cast<std::size_t>(k)], 100, &reason, &status, 0);
      EXPECT_EQ(status, kVxi11StatusTimedOut);
    } else {
      EXPECT_EQ(status, 0u) << k;
      EXPECT_EQ(reply, device.long_reply) << k;
      ++kept;
    }
  }
  EXPECT_GT(lost, 0);
  EXPECT_EQ(kept + lost, links);
  EXPECT_EQ(device.Interrupted(), lost);
  EXPECT_EQ(Inst0()->Exchange()->SetAsideBytes(), 0u);
}

// Neither link waits out a time-out: their lock checks do not collide, the exchange goes to each in
// turn, and no query is interrupted by the other link's message.
TEST_F(LinkExchangeTest, TwoLinksQueryingAtOnceEachGetTheirAnswers) {
  IdnInstrument device;
  device.long_reply = "SECOND-DEVICE-ANSWER\n";
  ASSERT_EQ(device.Start(), 0u);
  FakeConnection connections[2];
  const std::uint32_t lids[2] = {Link(&connections[0]), Link(&connections[1])};
  constexpr int kRounds = 300;
  std::atomic<int> wrong{0};
  auto worker = [&](int which) {
    const std::string query = which == 0 ? "*IDN?\n" : "LONG?\n";
    const std::string answer = which == 0 ? kIdnReply : "SECOND-DEVICE-ANSWER\n";
    for (int round = 0; round < kRounds; ++round) {
      std::uint32_t status = 0;
      Write(&connections[which], lids[which], query, 5000, &status);
      if (status != 0) ++wrong;
      std::uint32_t reason = 0;
      const std::string reply = Read(&connections[which], lids[which], 1000, &reason, &status, 5000);
      if (status != 0 || reply != answer) ++wrong;
    }
  };
  std::thread first(worker, 0);
  std::thread second(worker, 1);
  first.join();
  second.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace torvex_test
