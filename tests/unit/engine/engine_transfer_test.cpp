// The engine with the test transport end to end: host messages into the application's buffer,
// responses cut into transfers, the termination-character cut, flow control on both kinds of
// suspension, and enable/disable cycles.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "engine/DoVovuriStatus.h"
#include "engine_fixture.h"

namespace torvex_test {
namespace {

struct TransportCase {
  const char* name;
  SuspensionKind kind;
  std::uint32_t buffer_size;  // 0: the transport works in the application's buffers
};
void PrintTo(const TransportCase& c, std::ostream* os) { *os << c.name; }

const TransportCase kTransports[] = {
    {"GateWithoutBuffers", SuspensionKind::kGate, 0},
    {"GateWithOwnBuffers", SuspensionKind::kGate, 4096},
    {"CounterWithoutBuffers", SuspensionKind::kCounter, 0},
    {"CounterWithOwnBuffers", SuspensionKind::kCounter, 4096},
};

class EngineTransferTest : public EngineTest, public ::testing::WithParamInterface<TransportCase> {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    TestTransportConfig config;
    config.kind = GetParam().kind;
    config.buffer_size = GetParam().buffer_size;
    config.clamp = 4096;
    UseTransport(config);
  }

  // Enables the host device with its input buffer posted; the test transport is then Transport().
  void EnableHost(TestHost& host) {
    ASSERT_EQ(host.Enable(0, "inst0", 1), 0u);
    ASSERT_EQ(host.PostInputBuffer(&host.input), 0u);
    ASSERT_NE(Transport(), nullptr);
  }

  // The host sends a query; the application sees it and detects the query.
  void SendQuery(TestHost& host, const std::string& text) {
    const std::size_t before = host.EventCount();
    Transport()->HostWrite(text, true);
    ASSERT_TRUE(host.WaitEvents(before + 1));
    const RecordedEvent event = host.Events().back();
    EXPECT_EQ(event.kind, "input");
    EXPECT_EQ(event.reason, kInputReasonEnd);
    EXPECT_EQ(event.count, text.size());
    EXPECT_EQ(host.LastInput(), text);
    ASSERT_EQ(host.QueryDetected(), 0u);
  }

  static void ExpectRest(CTestTransport* transport) {
    ASSERT_TRUE(transport->WaitIdle());
    // The event loop may still be inside the last operation (suspended, not yet resumed): rest is
    // reached once it has left it.
    EXPECT_TRUE(WaitFor([&] {
      return transport->Depth() == 0 && transport->Suspends() + transport->Enables() == transport->Resumes();
    })) << "depth "
        << transport->Depth() << ", suspends " << transport->Suspends() << " + enables " << transport->Enables()
        << " vs resumes " << transport->Resumes();
    EXPECT_EQ(transport->Violations(), 0);
  }
};

TEST_P(EngineTransferTest, ResponseOf10000BytesGoesInThreeChunksWithEndOnlyOnTheLast) {
  TestHost host;
  EnableHost(host);
  SendQuery(host, "*IDN?\n");
  std::string response(10000, 'x');
  for (std::size_t i = 0; i < response.size(); ++i) response[i] = static_cast<char>('a' + i % 26);
  std::memcpy(host.response.data, response.data(), response.size());
  host.response.count = static_cast<std::uint32_t>(response.size());
  ASSERT_EQ(host.QueueResponse(&host.response, 1), 0u);

  for (int read = 0; read < 3; ++read) {
    Transport()->HostRead(100000);
    ASSERT_TRUE(WaitFor([&] { return Transport()->Chunks().size() == static_cast<std::size_t>(read + 1); }));
  }
  const std::vector<SentChunk> chunks = Transport()->Chunks();
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0].bytes.size(), 4096u);
  EXPECT_EQ(chunks[1].bytes.size(), 4096u);
  EXPECT_EQ(chunks[2].bytes.size(), 10000u - 2 * 4096u);
  EXPECT_FALSE(chunks[0].end);
  EXPECT_FALSE(chunks[1].end);
  EXPECT_TRUE(chunks[2].end);
  EXPECT_EQ(Transport()->Received(), response);

  ASSERT_EQ(host.MessageProcessed(), 0u);
  ASSERT_TRUE(host.WaitEvents(2));
  const RecordedEvent done = host.Events()[1];
  EXPECT_EQ(done.kind, "response");
  EXPECT_EQ(done.reason, kResponseReasonSent);
  EXPECT_EQ(done.count, 10000u);
  ExpectRest(Transport());
}

TEST_P(EngineTransferTest, TerminationCharacterCutsTheChunkAfterIt) {
  TestHost host;
  EnableHost(host);
  SendQuery(host, "MEAS?\n");
  const std::string response = "abcde\nfghij";
  std::memcpy(host.response.data, response.data(), response.size());
  host.response.count = static_cast<std::uint32_t>(response.size());
  ASSERT_EQ(host.QueueResponse(&host.response, 1), 0u);

  Transport()->HostRead(100, true, '\n');
  ASSERT_TRUE(WaitFor([&] { return Transport()->Chunks().size() == 1; }));
  Transport()->HostRead(100, true, '\n');
  ASSERT_TRUE(WaitFor([&] { return Transport()->Chunks().size() == 2; }));
  const std::vector<SentChunk> chunks = Transport()->Chunks();
  EXPECT_EQ(chunks[0].bytes, "abcde\n");
  EXPECT_TRUE(chunks[0].term_char_found);
  EXPECT_FALSE(chunks[0].end);
  EXPECT_EQ(chunks[1].bytes, "fghij");
  EXPECT_FALSE(chunks[1].term_char_found);
  EXPECT_TRUE(chunks[1].end);
  ASSERT_EQ(host.MessageProcessed(), 0u);
  ExpectRest(Transport());
}

TEST_P(EngineTransferTest, LongHostMessageFillsBufferInChunksAndCompletesWithEnd) {
  TestHost host;
  EnableHost(host);
  std::string message(9000, 'm');
  message.back() = '\n';
  Transport()->HostWrite(message, true);
  ASSERT_TRUE(host.WaitEvents(1));
  const RecordedEvent event = host.Events()[0];
  EXPECT_EQ(event.kind, "input");
  EXPECT_EQ(event.reason, kInputReasonEnd);
  EXPECT_EQ(event.count, 9000u);
  EXPECT_EQ(host.LastInput(), message);
  ASSERT_EQ(host.MessageProcessed(), 0u);
  ExpectRest(Transport());
}

// The queue holds the transport back with one suspension at half full (5 of 10) and gives exactly that
// one back when it has drained: with a nesting transport the depth ends at 0, and every event arrives.
TEST_P(EngineTransferTest, HalfFullQueueHoldsTheTransportBackOnceAndReleasesIt) {
  TestHost host;
  Latch latch;
  bool first = true;
  host.on_remote_local = [&](std::int32_t) {
    if (first) {
      first = false;
      latch.Wait();  // the event loop stays here while the host keeps going
    }
  };
  ASSERT_EQ(host.Enable(0, "inst0", 1), 0u);
  ASSERT_EQ(host.EnableRemoteLocalEvent(1), 0u);
  CTestTransport* transport = Transport();

  const std::uint32_t states[] = {1, 2, 3, 4, 1, 2, 3, 4, 1};
  for (std::uint32_t state : states) transport->HostRemoteLocal(state);
  // One entry is in the event loop's hands, five wait in the queue: the transport is held back.
  ASSERT_TRUE(WaitFor([&] { return latch.SomeoneWaits() && transport->Depth() == 1; }));
  EXPECT_FALSE(transport->WaitIdle(50));  // the rest of the host's changes wait at the transport
  latch.Open();
  ASSERT_TRUE(host.WaitEvents(std::size(states)));
  ASSERT_TRUE(transport->WaitIdle());
  const std::vector<RecordedEvent> events = host.Events();
  for (std::size_t i = 0; i < std::size(states); ++i) {
    EXPECT_EQ(events[i].kind, "rl");
    EXPECT_EQ(events[i].reason, static_cast<std::int32_t>(states[i] - 1)) << i;
  }
  EXPECT_EQ(transport->MaxDepth() >= 1, true);
  ExpectRest(transport);
}

// One handler posting twice past half full (a device clear discarding a response, then the clear
// itself) still holds the transport back with a single suspension.
TEST_P(EngineTransferTest, TwoPostsPastHalfFullMakeOneSuspension) {
  TestHost host;
  Latch latch;
  host.on_remote_local = [&](std::int32_t) {
    if (!latch.SomeoneWaits()) latch.Wait();
  };
  EnableHost(host);
  ASSERT_EQ(host.EnableRemoteLocalEvent(1), 0u);
  SendQuery(host, "*IDN?\n");
  std::memset(host.response.data, 'r', 16);
  host.response.count = 16;
  ASSERT_EQ(host.QueueResponse(&host.response, 1), 0u);
  CTestTransport* transport = Transport();
  transport->HostRemoteLocal(1);
  ASSERT_TRUE(WaitFor([&] { return latch.SomeoneWaits(); }));
  for (std::uint32_t state : {2u, 3u, 4u, 1u}) transport->HostRemoteLocal(state);  // 4 queued
  transport->HostDeviceClear();                                                    // 5 and 6
  ASSERT_TRUE(WaitFor([&] { return transport->Depth() == 1; }));
  ASSERT_TRUE(transport->WaitIdle());
  latch.Open();
  ASSERT_TRUE(host.WaitEvents(1 + 5 + 2));
  const std::vector<RecordedEvent> events = host.Events();
  EXPECT_EQ(events[6].kind, "response");
  EXPECT_EQ(events[6].reason, kResponseReasonDiscarded);
  EXPECT_EQ(events[7].kind, "clear");
  ExpectRest(transport);
}

TEST_P(EngineTransferTest, ThousandEnableDisableCyclesLeaveNothingBehind) {
  for (int cycle = 0; cycle < 1000; ++cycle) {
    TestHost host;
    ASSERT_EQ(host.Enable(0, nullptr, 1), 0u) << cycle;
    ASSERT_EQ(host.PostInputBuffer(&host.input), 0u) << cycle;
    CTestTransport* transport = Transport();
    EXPECT_EQ(transport->Depth(), 0);
    ASSERT_EQ(host.Disable(), 0u) << cycle;
    EXPECT_FALSE(host.IsEnabled());
    ASSERT_EQ(TestPlugins::Factory().Alive(), 0) << cycle;
  }
  EXPECT_EQ(DoVovuriDeviceListCapacity(), 16u);  // every slot came back
}

TEST_P(EngineTransferTest, DeviceClearDuringResponseHandsItBackBeforeTheClear) {
  TestHost host;
  host.on_input = [&](std::int32_t, MessageBufferDescriptor*) { host.PostInputBuffer(&host.input); };
  EnableHost(host);
  SendQuery(host, "*IDN?\n");
  std::memset(host.response.data, 'r', 100);
  host.response.count = 100;
  ASSERT_EQ(host.QueueResponse(&host.response, 1), 0u);
  Transport()->HostDeviceClear();
  ASSERT_TRUE(host.WaitEvents(3));
  const std::vector<RecordedEvent> events = host.Events();
  EXPECT_EQ(events[1].kind, "response");
  EXPECT_EQ(events[1].reason, kResponseReasonDiscarded);
  EXPECT_EQ(events[2].kind, "clear");
  ASSERT_TRUE(WaitFor([&] { return Transport()->DeviceClearsDone() == 1; }));
  // The input buffer stays posted: the next message arrives in it.
  Transport()->HostWrite("*CLS\n", true);
  ASSERT_TRUE(host.WaitEvents(4));
  EXPECT_EQ(host.Events()[3].kind, "input");
  EXPECT_EQ(host.LastInput(), "*CLS\n");
  ExpectRest(Transport());
}

// A client that reads a reply to its END and writes its next message at once: the reply is over, so
// the new message interrupts nothing; it waits until the application has finished the query's message
// and posted its buffer again, and then arrives whole.
TEST_P(EngineTransferTest, AMessageRightAfterTheWholeResponseWaitsForTheQueryToFinish) {
  TestHost host;
  EnableHost(host);
  SendQuery(host, "*IDN?\n");
  Transport()->HostRead(100);
  const std::string reply = "ID\n";
  std::memcpy(host.response.data, reply.data(), reply.size());
  host.response.count = static_cast<std::uint32_t>(reply.size());
  ASSERT_EQ(host.QueueResponse(&host.response, 1), 0u);
  ASSERT_TRUE(host.WaitEvents(2));
  EXPECT_EQ(host.Events()[1].kind, "response");
  EXPECT_EQ(host.Events()[1].reason, kResponseReasonSent);
  EXPECT_EQ(Transport()->Received(), reply);

  // The application has not yet said that the query's message is done.
  Transport()->HostWrite("*CLS\n", true);
  ASSERT_TRUE(Transport()->WaitIdle());
  ASSERT_EQ(host.MessageProcessed(), 0u);
  ASSERT_EQ(host.PostInputBuffer(&host.input), 0u);
  ASSERT_TRUE(host.WaitEvents(3));
  const std::vector<RecordedEvent> events = host.Events();
  EXPECT_EQ(events[2].kind, "input");
  EXPECT_EQ(events[2].reason, kInputReasonEnd);
  EXPECT_EQ(host.LastInput(), "*CLS\n");
  for (const RecordedEvent& event : events) {
    EXPECT_FALSE(event.kind == "response" && event.reason == kResponseReasonInterrupted);
  }
  ASSERT_EQ(host.MessageProcessed(), 0u);
  ExpectRest(Transport());
}

TEST_P(EngineTransferTest, StatusByteReadAsksTheApplicationAndAddsTheRequestBit) {
  TestHost host;
  host.on_status_byte_request = [&] { host.SetStatusByte(0xFF); };
  ASSERT_EQ(host.Enable(0, "inst0", 1), 0u);
  ASSERT_EQ(host.EnableStatusByteRequestEvent(), 0u);
  Transport()->HostStatusRead();
  ASSERT_TRUE(WaitFor([&] { return Transport()->StatusBytes().size() == 1; }));
  EXPECT_EQ(Transport()->StatusBytes()[0], 0xBF);
  ASSERT_TRUE(Transport()->WaitIdle());  // the read has ended
  ASSERT_EQ(host.RequestService(), 0u);
  // A request made while the poll is still ending waits for its end, then goes on the wire.
  ASSERT_TRUE(WaitFor([&] { return Transport()->ServiceRequestsAsserted() == 1; }));
  Transport()->HostStatusRead();
  ASSERT_TRUE(WaitFor([&] { return Transport()->StatusBytes().size() == 2; }));
  EXPECT_EQ(Transport()->StatusBytes()[1], 0xFF);
  ExpectRest(Transport());
}

INSTANTIATE_TEST_SUITE_P(Transports, EngineTransferTest, ::testing::ValuesIn(kTransports),
                         [](const ::testing::TestParamInfo<TransportCase>& info) { return info.param.name; });

}  // namespace
}  // namespace torvex_test
