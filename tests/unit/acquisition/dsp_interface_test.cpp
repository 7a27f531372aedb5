// The DSP interface: the state machine row by row, the refusals of replies, the interface lock between
// threads, exchanges that time out, the restart of the DSP, and the faults mended in the link (zeroed
// buffers, short hardware strings, failed field conversions, empty block reads).
#include <gtest/gtest.h>
#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "dsp_link_support.h"
#include "support/fake_probe.h"
#include "support/wait_for.h"

namespace torvex_test {
namespace {

using namespace Torvex;
using namespace std::chrono_literals;

class DspInterfaceTest : public DspLinkTest {
 protected:
  // Puts the machine in `state` (from NotBooted, through real events).
  void Enter(eDspIfState state) {
    if (state == NotBooted) return;
    Boot();
    if (state == AwaitingReply) {
      script_->SetSilent(true);
      ASSERT_EQ(CTorvexDSP::SendRequest(kDspQuit), 0);
      script_->SetSilent(false);
    }
    ASSERT_EQ(CTorvexDSP::GetState(), state);
  }
};

// Before anything was read the receive buffer holds zeros (meaningful in a process of its own, as
// CTest runs each test).
TEST_F(DspInterfaceTest, BuffersStartZeroed) {
  if (CTorvexDSP::GetSequenceCounter() != 0) GTEST_SKIP() << "an earlier test of this process used the link";
  std::uint16_t v[4] = {1, 1, 1, 1};
  CTorvexDSP::GetVersions(&v[0], &v[1], &v[2], &v[3]);
  EXPECT_EQ(v[0] | v[1] | v[2] | v[3], 0);
  bool state = true;
  CTorvexDSP::GetTriggerOutState(&state);
  EXPECT_FALSE(state);
  EXPECT_EQ(CTorvexDSP::GetSearchResult(), 0.0);
}

struct Row {
  eDspIfState from;
  eDspIfEvent event;
  std::uint32_t id;  // request id (Write) or expected reply id (Read)
  int result;
  eDspIfState to;
  bool writes;  // the DSP is interrupted
};

TEST_F(DspInterfaceTest, StateMachineRows) {
  const std::vector<Row> rows = {
      {NotBooted, Write, kDspQuit, 43, NotBooted, false},
      {NotBooted, Read, 0x100D0, 43, NotBooted, false},
      {Ready, Read, 0x100D0, 47, Ready, false},
      {Ready, Read, kDspBooted, 47, Ready, false},
      {Ready, Write, kDspQuit, 0, AwaitingReply, true},
      {Ready, Write, 0x11, 47, AwaitingReply, false},  // unknown id: refused, nothing written
      {AwaitingReply, Write, kDspAbort, 0, AwaitingReply, true},
      {AwaitingReply, Write, kDspQuit, 47, Ready, false},
      {AwaitingReply, Read, 0x100D0, 0, Ready, false},
      {AwaitingReply, Read, 0x10080, 39, Ready, false},  // the mailbox holds QUIT_ACK
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << "from " << r.from << " event " << r.event << " id 0x" << std::hex << r.id);
    CTorvexDSP::ResetToNotBooted();
    Enter(r.from);
    if (r.from == AwaitingReply) {
      // The reply to the QUIT that brought the machine here is in place.
      script_->Send(MakeReply(0x100D0, 0, {0}));
    }
    const auto interrupts = board_->dsp().DspInterrupts();
    int result = 0;
    if (r.event == Write) {
      script_->SetSilent(true);
      result = CTorvexDSP::SendRequest(r.id);
      script_->SetSilent(false);
      EXPECT_TRUE(CTorvexDSP::HeldByCaller());  // whatever the result
    } else {
      std::uint32_t status = 7;
      result = CTorvexDSP::ReadMessage(r.id, &status);
      EXPECT_EQ(status, 0u);
    }
    EXPECT_EQ(result, r.result);
    EXPECT_EQ(CTorvexDSP::GetState(), r.to);
    EXPECT_EQ(board_->dsp().DspInterrupts() - interrupts, r.writes ? 1u : 0u);
    CTorvexDSP::ReleaseInterface();
    EXPECT_FALSE(CTorvexDSP::HeldByCaller());
  }
}

TEST_F(DspInterfaceTest, BootNoticeWhileAwaitingReplyIsAccepted) {
  Enter(AwaitingReply);
  script_->SendBooted(2, 4, 1, 8);
  EXPECT_EQ(CTorvexDSP::ReadMessage(kDspBooted, nullptr), 0);
  EXPECT_EQ(CTorvexDSP::GetState(), Ready);
}

struct Refusal {
  const char* what;
  std::vector<std::uint32_t> frame;
  std::uint32_t expected;
  int result;
  const char* log;
};

TEST_F(DspInterfaceTest, RefusedRepliesLeaveTheCounterAndReturnToReady) {
  auto good = MakeReply(0x100D0, 0, {0});
  auto badCheck = good;
  badCheck.back() ^= 0x100;
  auto errorFlag = MakeReply(0x100D0, 0, {0x80000001});  // check word right
  auto errorAndBadCheck = errorFlag;
  errorAndBadCheck.back() ^= 1;
  const std::vector<Refusal> cases = {
      {"check word", badCheck, 0x100D0, 40, "CTorvexDSP::DSPRead:Invalid CRC\n"},
      {"error flag", errorFlag, 0x100D0, 41, "CTorvexDSP::DSPRead:Message error flag set\n"},
      {"error flag before check word", errorAndBadCheck, 0x100D0, 41, "CTorvexDSP::DSPRead:Message error flag set\n"},
      {"other id", MakeReply(0x10080, 0, {0}), 0x100D0, 39,
       "CTorvexDSP::DSPRead:Invalid Message ID, Expected 0x100D0 Read 0x10080\n"},
      {"id without length", {0x100D1, 0, 0, 0, 0x100D1}, 0x100D1, 39, nullptr},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.what);
    CTorvexDSP::ResetToNotBooted();
    Enter(AwaitingReply);
    script_->Send(c.frame);
    const std::uint32_t sequence = CTorvexDSP::GetSequenceCounter();
    std::uint32_t status = 5;
    EXPECT_EQ(CTorvexDSP::ReadMessage(c.expected, &status), c.result);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(CTorvexDSP::GetSequenceCounter(), sequence);
    EXPECT_EQ(CTorvexDSP::GetState(), Ready);
    if (c.log != nullptr) {
      EXPECT_NE(LogText().find(c.log), std::string::npos);
    }
    // The next request goes out at once.
    EXPECT_EQ(RoundTrip(kDspQuit), 0);
  }
}

TEST_F(DspInterfaceTest, IdMismatchLeavesTheHostInterruptForTheNextWrite) {
  Enter(AwaitingReply);
  script_->Send(MakeReply(0x10080, 0, {0}));
  EXPECT_EQ(CTorvexDSP::ReadMessage(0x100D0, nullptr), 39);
  EXPECT_TRUE(board_->dsp().HostInterruptAsserted());
  CTorvexDSP::ReleaseInterface();
  script_->SetSilent(true);
  ASSERT_EQ(CTorvexDSP::SendRequest(kDspQuit), 0);
  EXPECT_FALSE(board_->dsp().HostInterruptAsserted());
}

TEST_F(DspInterfaceTest, ReloadedDspIsAcceptedAsAtPowerUp) {
  for (eDspIfState state : {Ready, AwaitingReply}) {
    SCOPED_TRACE(state);
    CTorvexDSP::ResetToNotBooted();
    Enter(state);
    CTorvexDSP::ReleaseInterface();
    // A restart of the acquisition brings the machine back before the program is loaded again.
    CTorvexDSP::ResetToNotBooted();
    EXPECT_EQ(CTorvexDSP::GetState(), NotBooted);
    EXPECT_FALSE(CTorvexDSP::HeldByCaller());
    const std::uint32_t sequence = CTorvexDSP::GetSequenceCounter();
    script_->SendBooted(2, 4, 1, 8);
    EXPECT_EQ(CTorvexDSP::ReadMessage(kDspBooted, nullptr), 0);
    EXPECT_EQ(CTorvexDSP::GetState(), Ready);
    EXPECT_EQ(CTorvexDSP::GetSequenceCounter(), sequence + 1);  // never reset
    EXPECT_EQ(RoundTrip(kDspQuit), 0);
  }
}

TEST_F(DspInterfaceTest, HolderSendsAgainWithoutBlocking) {
  Enter(AwaitingReply);
  EXPECT_TRUE(CTorvexDSP::HeldByCaller());
  script_->SetSilent(false);
  EXPECT_EQ(CTorvexDSP::SendRequest(kDspAbort), 0);
  EXPECT_EQ(CTorvexDSP::ReadMessage(0x10080, nullptr), 0);
  EXPECT_EQ(CTorvexDSP::GetState(), Ready);
  CTorvexDSP::ReleaseInterface();
  EXPECT_FALSE(CTorvexDSP::HeldByCaller());
}

TEST_F(DspInterfaceTest, SecondThreadWaitsForTheHolder) {
  Boot();
  ASSERT_EQ(CTorvexDSP::SendRequest(kDspQuit), 0);
  std::atomic<bool> sent{false};
  std::atomic<int> result{-1};
  std::thread other([&] {
    const int r = CTorvexDSP::SendRequest(kDspExternalReference);
    sent = true;
    if (r == 0) {
      result = CTorvexDSP::ReadMessage(0x100B0, nullptr);
    } else {
      result = r;
    }
    CTorvexDSP::ReleaseInterface();
  });
  // While this thread holds the interface the other one cannot send.
  EXPECT_FALSE(WaitFor([&] { return sent.load(); }, 100ms));
  // A release by a thread that does not hold the lock changes nothing.
  std::thread([] { CTorvexDSP::ReleaseInterface(); }).join();
  EXPECT_TRUE(CTorvexDSP::HeldByCaller());
  EXPECT_FALSE(WaitFor([&] { return sent.load(); }, 50ms));
  EXPECT_EQ(CTorvexDSP::ReadMessage(0x100D0, nullptr), 0);
  CTorvexDSP::ReleaseInterface();
  other.join();
  EXPECT_TRUE(sent);
  EXPECT_EQ(result, 0);
  const auto requests = script_->Requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(requests[requests.size() - 2][0], kDspQuit);
  EXPECT_EQ(requests.back()[0], kDspExternalReference);
}

// Host-port sequences that do not take the lock for their caller still hold it for their own
// duration, so they never interleave with another thread's exchange.
TEST_F(DspInterfaceTest, StatusBlockReadWaitsForAnExchangeInProgress) {
  board_->dsp().WriteWord(kDspStatusBlockAddress, 41);
  board_->dsp().WriteWord(kDspStatusBlockAddress + 8, 0x3);
  Boot();
  ASSERT_EQ(CTorvexDSP::SendRequest(kDspQuit), 0);
  std::atomic<bool> done{false};
  DspStatusBlock block{};
  std::thread reader([&] {
    CTorvexDSP::ReadStatusBlock(&block);
    done = true;
  });
  EXPECT_FALSE(WaitFor([&] { return done.load(); }, 100ms));
  EXPECT_EQ(CTorvexDSP::ReadMessage(0x100D0, nullptr), 0);
  CTorvexDSP::ReleaseInterface();
  reader.join();
  EXPECT_EQ(block.words[0], 41u);
  EXPECT_EQ(block.words[2], 0x3u);
  EXPECT_FALSE(CTorvexDSP::HeldByCaller());
}

TEST_F(DspInterfaceTest, ContendingThreadsEachCompleteTheirExchanges) {
  Boot();
  constexpr int kRounds = 200;
  std::atomic<int> failures{0};
  auto worker = [&](std::uint32_t request) {
    for (int i = 0; i < kRounds; ++i) {
      std::uint32_t status = 0;
      int r = CTorvexDSP::SendRequest(request);
      if (r == 0) r = CTorvexDSP::ReadMessage(DspReplyId(request), &status);
      DspStatusBlock block;
      CTorvexDSP::ReadStatusBlock(&block);
      CTorvexDSP::ReleaseInterface();
      if (r != 0) ++failures;
    }
  };
  const std::uint32_t sequence = CTorvexDSP::GetSequenceCounter();
  std::thread a(worker, kDspQuit), b(worker, kDspExternalReference);
  a.join();
  b.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(CTorvexDSP::GetSequenceCounter(), sequence + 4 * kRounds);
}

class DspExchangeTest : public DspInterfaceTest {
 protected:
  void SetUp() override {
    DspInterfaceTest::SetUp();
    fd_ = platform::open(CTorvexDSP::GetDeviceName(), O_RDONLY);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    if (fd_ >= 0) platform::close(fd_);
    DspInterfaceTest::TearDown();
  }
  int fd_ = -1;
};

TEST_F(DspExchangeTest, AnsweredExchangeGivesTheStatus) {
  Boot();
  script_->SetPayload(0x100B0, {0x2});
  std::uint32_t status = 0;
  EXPECT_EQ(CTorvexDSP::Exchange(kDspExternalReference, fd_, 1000, &status), 0);
  EXPECT_EQ(status, 0x2u);
  EXPECT_TRUE(CTorvexDSP::HeldByCaller());
  CTorvexDSP::ReleaseInterface();
  EXPECT_EQ(CTorvexDSP::GetState(), Ready);
}

TEST_F(DspExchangeTest, TimedOutExchangeLeavesTheInterfaceUsable) {
  Boot();
  script_->SetSilent(true);
  std::uint32_t status = 9;
  EXPECT_EQ(CTorvexDSP::Exchange(kDspTriggerOut, fd_, 30, &status), 38);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(CTorvexDSP::GetState(), Ready);
  EXPECT_NE(LogText().find("CTorvexDSP::Exchange:No reply to TRIGGER_OUT within 30 ms\n"), std::string::npos);
  CTorvexDSP::ReleaseInterface();

  // Another thread's exchange goes through at once, and a reply the DSP sends late does not pass for
  // the answer of the next one.
  script_->SetSilent(false);
  std::atomic<int> result{-1};
  std::thread([&] {
    std::uint32_t s = 0;
    result = CTorvexDSP::Exchange(kDspExternalReference, fd_, 1000, &s);
    CTorvexDSP::ReleaseInterface();
  }).join();
  EXPECT_EQ(result, 0);
  script_->Send(MakeReply(0x100C0, 0, {0, 0, 1}));  // the late answer to TRIGGER_OUT
  script_->SetPayload(0x100D0, {0x1});
  std::uint32_t s = 0;
  EXPECT_EQ(CTorvexDSP::Exchange(kDspQuit, fd_, 1000, &s), 0);
  EXPECT_EQ(s, 0x1u);
  CTorvexDSP::ReleaseInterface();
}

TEST_F(DspExchangeTest, ExchangeBeforeBootIsRefusedWithoutWaiting) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CTorvexDSP::Exchange(kDspQuit, fd_, 5000, nullptr), 43);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
  CTorvexDSP::ReleaseInterface();
}

// --- faults mended ----------------------------------------------------------------------------------

TEST_F(DspInterfaceTest, ShortHardwareStringReadsAsPadded) {
  struct Case {
    const char* hardware;
    std::uint32_t letter;
    std::uint32_t number;
  };
  const std::vector<Case> cases = {{"R-B3", 2, 3}, {"R-A0", 1, 0}, {"R-C", 3, 0}, {"R-", 0, 0}, {"", 0, 0}};
  Boot();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hardware);
    g_node_system_versions_hardware->SetStringAttribute(eAttrValue, c.hardware);
    ASSERT_EQ(RoundTrip(kDspPwDefaultConfiguration), 0);
    const auto frame = script_->LastRequest();
    ASSERT_EQ(frame.size(), 11u);
    EXPECT_EQ(frame[2], c.letter);
    EXPECT_EQ(frame[3], c.number);
  }
}

TEST_F(DspInterfaceTest, FailedFieldConversionSendsZeroHertz) {
  // No probe selected: tesla cannot become the probe's frequency.
  g_node_current_probe_object->SetPointerAttribute(eAttrValue, nullptr);
  g_node_measure_parms_search_value->SetFloat64Attribute(eAttrValue, 1.5);
  g_node_trigger_parms_trigger_out_level->SetFloat64Attribute(eAttrValue, 1.5);
  Boot();
  for (std::uint32_t id : {kDspInitiateManualMeasurement, kDspTriggerOut}) {
    SCOPED_TRACE(id);
    ASSERT_EQ(RoundTrip(id), 0);
    const auto frame = script_->LastRequest();
    EXPECT_EQ(frame[2], 0u);
    EXPECT_EQ(frame[3], 0u);
  }
  EXPECT_NE(LogText().find("CTorvexDSP::BuildTriggerOut:Field conversion failed (46), sending 0 Hz\n"),
            std::string::npos);
}

TEST_F(DspInterfaceTest, TriggerWithoutProbeSendsNothingAndReportsTheConversion) {
  g_node_current_probe_object->SetPointerAttribute(eAttrValue, nullptr);
  Boot();
  const auto interrupts = board_->dsp().DspInterrupts();
  EXPECT_EQ(CTorvexDSP::SendRequest(kDspTrigger), 46);
  EXPECT_EQ(board_->dsp().DspInterrupts(), interrupts);
  EXPECT_EQ(CTorvexDSP::GetState(), AwaitingReply);
  // The next request other than ABORT is refused and frees the machine.
  EXPECT_EQ(CTorvexDSP::SendRequest(kDspQuit), 47);
  EXPECT_EQ(CTorvexDSP::GetState(), Ready);
  CTorvexDSP::ReleaseInterface();
}

TEST_F(DspInterfaceTest, EmptyBlocksAreNeverRead) {
  // RETURN_NMR_SIGNAL with four blocks of 5 words each; destinations of capacity 0 (with room behind
  // the pointer that must stay untouched) or without data.
  for (std::uint32_t i = 0; i < 5; ++i) board_->dsp().WriteWord(0x80000000 + 4 * i, 0x12345678);
  std::vector<std::uint32_t> payload(22, 0);
  payload[10 - 2] = 0x80000000;
  payload[11 - 2] = 5;
  payload[13 - 2] = 0x80000000;
  payload[14 - 2] = 5;
  payload[17 - 2] = 0x80000000;
  payload[18 - 2] = 5;
  payload[21 - 2] = 0x80000000;
  payload[22 - 2] = 5;
  payload[12 - 2] = 0x3F800000;
  script_->SetPayload(0x10090, payload);
  Boot();
  ASSERT_EQ(CTorvexDSP::SendRequest(kDspRequestNmrSignal), 0);
  ASSERT_EQ(CTorvexDSP::ReadMessage(0x10090, nullptr), 0);
  float room[4][8];
  for (auto& r : room) {
    for (float& f : r) f = -1.0f;
  }
  std::uint32_t counts[4] = {9, 9, 9, 9};
  const IntermediateBlock blocks[4] = {
      {room[0], 0, &counts[0]}, {room[1], 0, &counts[1]}, {room[2], 0, &counts[2]}, {nullptr, 8, &counts[3]}};
  IntermediateScalars scalars{};
  CTorvexDSP::CopyIntermediateResults(blocks, &scalars);
  CTorvexDSP::ReleaseInterface();
  for (std::uint32_t c : counts) EXPECT_EQ(c, 0u);
  for (auto& r : room) {
    for (float f : r) EXPECT_EQ(f, -1.0f);
  }
  EXPECT_EQ(scalars.samplePeriod, 1.0f);
}

}  // namespace
}  // namespace torvex_test
