// The message exchange machine: a table of event sequences, each with the state and the exact set of
// flags it must leave (every flag not named must be clear).
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "engine/CMessageExchangeStateMachine.h"
#include "engine/DoVovuriStatus.h"

namespace {

using M = CMessageExchangeStateMachine;

enum Ev {
  Data,  // message data from the host
  End,   // the host's END
  Trigger,
  Read,         // the host asks for a response
  Queued,       // the application queues a response
  Sent,         // a response with END has gone out completely
  ReqReported,  // the engine posted the response-requested event
  ReqAcknowledged,
  Query,      // the application detected a query
  Processed,  // the application is done with the message
  EndProcessed,
  Deadlock,  // the application reports a deadlock
  UntermAck,
  UntermReported,
  IntReported,
  Clear,  // device clear from the transport
  ClearDone,
  TrigDone,
  TrigReported,
  RelaxedOn,
};

void Apply(M& m, Ev e) {
  std::uint32_t status = kStatusNotReported;
  switch (e) {
    case Data: m.OnMessageData(); break;
    case End: m.OnEndReceived(); break;
    case Trigger: m.OnTrigger(); break;
    case Read: m.OnReadRequest(); break;
    case Queued: m.OnResponseQueued(); break;
    case Sent: m.OnResponseSent(); break;
    case ReqReported: m.OnResponseRequestReported(); break;
    case ReqAcknowledged: m.OnResponseRequestAcknowledged(); break;
    case Query: m.OnQueryDetected(); break;
    case Processed: m.OnMessageProcessed(); break;
    case EndProcessed: m.OnEndProcessed(); break;
    case Deadlock: m.OnDeadlockRequest(); break;
    case UntermAck: m.OnUnterminatedAcknowledged(); break;
    case UntermReported: m.OnUnterminatedReported(); break;
    case IntReported: m.OnInterruptionReported(); break;
    case Clear: m.ResetForDeviceClear(); break;
    case ClearDone: m.OnDeviceClearDone(); break;
    case TrigDone: m.OnTriggerDone(); break;
    case TrigReported: m.OnTriggerReported(); break;
    case RelaxedOn: m.EnableRelaxedMode(&status); break;
  }
}

// Flags as one set of letters, so a table row names exactly what must be set.
constexpr unsigned kMsg = 1u << 0;  // message active
constexpr unsigned kMsgHeld = 1u << 1;
constexpr unsigned kReadPending = 1u << 2;
constexpr unsigned kEnd = 1u << 3;
constexpr unsigned kEndHeld = 1u << 4;
constexpr unsigned kRequested = 1u << 5;
constexpr unsigned kReported = 1u << 6;
constexpr unsigned kRespQueued = 1u << 7;
constexpr unsigned kRespSent = 1u << 8;
constexpr unsigned kClearActive = 1u << 9;
constexpr unsigned kTrig = 1u << 10;
constexpr unsigned kTrigReported = 1u << 11;
constexpr unsigned kInterrupted = 1u << 12;
constexpr unsigned kUnterm = 1u << 13;
constexpr unsigned kUntermReported = 1u << 14;
constexpr unsigned kRelaxed = 1u << 15;

unsigned FlagsOf(const M& m) {
  unsigned f = 0;
  f |= m.IsMessageActive() ? kMsg : 0;
  f |= m.IsMessageHeldBack() ? kMsgHeld : 0;
  f |= m.IsHostReadPending() ? kReadPending : 0;
  f |= m.IsEndReceived() ? kEnd : 0;
  f |= m.IsEndHeldBack() ? kEndHeld : 0;
  f |= m.IsResponseRequested() ? kRequested : 0;
  f |= m.IsRequestReported() ? kReported : 0;
  f |= m.IsResponseQueued() ? kRespQueued : 0;
  f |= m.IsResponseSent() ? kRespSent : 0;
  f |= m.IsDeviceClearActive() ? kClearActive : 0;
  f |= m.IsTriggerActive() ? kTrig : 0;
  f |= m.IsTriggerReported() ? kTrigReported : 0;
  f |= m.IsInterrupted() ? kInterrupted : 0;
  f |= m.IsUnterminated() ? kUnterm : 0;
  f |= m.IsUnterminatedReported() ? kUntermReported : 0;
  f |= m.IsRelaxedMode() ? kRelaxed : 0;
  return f;
}

struct Scenario {
  const char* name;
  std::vector<Ev> events;
  M::State state;
  unsigned flags;
  std::uint32_t triggers_held;
};
void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class MessageExchange : public ::testing::TestWithParam<Scenario> {};

TEST_P(MessageExchange, LeavesStateAndFlags) {
  const Scenario& s = GetParam();
  M m;
  for (Ev e : s.events) Apply(m, e);
  EXPECT_EQ(m.GetState(), s.state);
  EXPECT_EQ(FlagsOf(m), s.flags) << "flags 0x" << std::hex << FlagsOf(m) << " expected 0x" << s.flags;
  EXPECT_EQ(m.TriggersHeldBack(), s.triggers_held);
}

const Scenario kScenarios[] = {
    // Normal paths.
    {"MessageStartsRead", {Data}, M::kRead, kMsg, 0},
    {"MessageWithoutQueryBackToIdle", {Data, End, Processed}, M::kIdle, 0, 0},
    {"QueryDetected", {Data, End, Query}, M::kQuery, kMsg | kEnd, 0},
    {"HostReadsInQueryGoesToSendAndRequests",
     {Data, End, Query, Read},
     M::kSend,
     kMsg | kEnd | kReadPending | kRequested,
     0},
    {"QueryAnsweredAndProcessedAfterSendIsDone",
     {Data, End, Query, Read, ReqReported, Queued, Sent, Processed},
     M::kDone,
     kReadPending | kRespSent,
     0},
    {"ProcessedBeforeSentWaitsInResponse",
     {Data, End, Query, Read, Queued, Processed},
     M::kResponse,
     kReadPending | kRespQueued,
     0},
    {"ResponseSentLeavesResponse",
     {Data, End, Query, Read, Queued, Processed, Sent},
     M::kDone,
     kReadPending | kRespSent,
     0},
    {"NextMessageAfterDone", {Data, End, Query, Read, Queued, Sent, Processed, Data}, M::kRead, kMsg | kRespSent, 0},
    {"ReadBeforeQueryThenQueryGoesToSend",
     {Data, End, Read, Query},
     M::kSend,
     kMsg | kEnd | kReadPending | kRequested,
     0},
    // UNTERMINATED.
    {"ReadInIdleIsUnterminated", {Read}, M::kIdle, kReadPending | kUnterm, 0},
    {"SecondReadKeepsReported", {Read, UntermReported, Read}, M::kIdle, kReadPending | kUnterm | kUntermReported, 0},
    {"AcknowledgedUnterminatedIsDone", {Read, UntermReported, UntermAck}, M::kDone, kReadPending | kUntermReported, 0},
    {"ReadBeforeEndIsUnterminated", {Data, Read}, M::kRead, kMsg | kReadPending | kUnterm, 0},
    {"ReadAfterEndIsNotUnterminated", {Data, End, Read}, M::kRead, kMsg | kEnd | kReadPending, 0},
    {"RelaxedReadInIdleRequestsInstead", {RelaxedOn, Read}, M::kIdle, kReadPending | kRequested | kRelaxed, 0},
    // INTERRUPTED.
    {"NewMessageInResponseInterrupts",
     {Data, End, Query, Read, Queued, Processed, Data},
     M::kRead,
     kMsg | kInterrupted,
     0},
    {"TriggerInResponseInterrupts",
     {Data, End, Query, Read, Queued, Processed, Trigger},
     M::kRead,
     kTrig | kInterrupted,
     0},
    {"MessageHeldWhenQueryFinishesInterrupts", {Data, End, Query, Data, Processed}, M::kRead, kMsg | kInterrupted, 0},
    {"InputHeldWhenHostReadsInQueryInterrupts",
     {Data, End, Query, Trigger, Read},
     M::kRead,
     kMsg | kEnd | kReadPending | kInterrupted,
     1},
    {"InputHeldWhenQueryDetectedWithReadPending",
     {Data, End, Trigger, Read, Query},
     M::kRead,
     kMsg | kEnd | kReadPending | kInterrupted,
     1},
    {"NewMessageWhileTheResponseIsSentInterrupts",
     {Data, End, Query, Read, Queued, Data},
     M::kRead,
     kMsg | kEnd | kMsgHeld | kInterrupted,
     0},
    // A response read whole, END included, is over: what the host sends next waits for the message to be
    // processed and interrupts nothing.
    {"MessageAfterTheWholeResponseIsHeldBack",
     {Data, End, Query, Read, Queued, Sent, Data},
     M::kSend,
     kMsg | kEnd | kMsgHeld | kRespSent,
     0},
    {"HeldMessageAfterTheWholeResponseGoesOnWhenProcessed",
     {Data, End, Query, Read, Queued, Sent, Data, Processed},
     M::kRead,
     kMsg | kRespSent,
     0},
    {"TriggerAfterTheWholeResponseIsHeldBack",
     {Data, End, Query, Read, Queued, Sent, Trigger},
     M::kSend,
     kMsg | kEnd | kRespSent,
     1},
    {"InterruptionReportedClearsIt", {Data, End, Query, Read, Queued, Processed, Data, IntReported}, M::kRead, kMsg, 0},
    // DEADLOCK.
    {"DeadlockInQuery", {Data, End, Query, Deadlock}, M::kDeadlock, kMsg | kEnd, 0},
    {"DeadlockLeftByProcessed", {Data, End, Query, Deadlock, Processed}, M::kDone, 0, 0},
    {"DeadlockRefusedWhileTriggerWithoutMessage", {Trigger, Query, Deadlock}, M::kQuery, kTrig, 0},
    {"DeadlockOutsideQueryIgnored", {Data, End, Deadlock}, M::kRead, kMsg | kEnd, 0},
    // Triggers and held-back work.
    {"TriggerInIdleIsActive", {Trigger}, M::kRead, kTrig, 0},
    {"TwoTriggersHeldDuringMessage", {Data, End, Trigger, Trigger}, M::kRead, kMsg | kEnd, 2},
    {"FirstHeldTriggerAfterProcessed", {Data, End, Trigger, Trigger, Processed}, M::kRead, kTrig, 1},
    {"SecondHeldTriggerAfterTriggerDone",
     {Data, End, Trigger, Trigger, Processed, TrigReported, TrigDone},
     M::kRead,
     kTrig,
     0},
    {"EndHeldWhileEndReceived", {Data, End, Data, End}, M::kRead, kMsg | kEnd | kMsgHeld | kEndHeld, 0},
    {"HeldMessageAndEndHandedOnInOrder", {Data, End, Data, End, Processed}, M::kRead, kMsg | kEnd, 0},
    {"TriggerWithMessageQueryStaysInQuery",
     {Data, End, Trigger, Data, Processed, Read, Query},
     M::kQuery,
     kMsg | kTrig | kReadPending,
     0},
    // Device clear.
    {"DeviceClearResetsToIdle", {Data, End, Query, Read, Queued, Clear}, M::kIdle, kClearActive, 0},
    {"TriggerHeldWhileClearActive", {Clear, Trigger}, M::kIdle, kClearActive, 1},
    {"HeldTriggerAfterClearDone", {Clear, Trigger, ClearDone}, M::kRead, kTrig, 0},
    {"ClearKeepsRelaxedMode", {RelaxedOn, Data, Clear}, M::kIdle, kClearActive | kRelaxed, 0},
    // Response requests.
    {"ReadInResponseRequestsOnce", {Data, End, Query, Processed, Read}, M::kResponse, kReadPending | kRequested, 0},
    {"ReportedRequestIsNotRepeated",
     {Data, End, Query, Processed, Read, ReqReported, Read},
     M::kResponse,
     kReadPending | kReported,
     0},
    // Relaxed mode.
    {"RelaxedQueueInDoneGoesToResponse",
     {RelaxedOn, Data, End, Query, Read, Queued, Sent, Processed, Queued},
     M::kResponse,
     kRespQueued | kRelaxed,
     0},
    {"RelaxedProcessedWithReadPendingRequests",
     {RelaxedOn, Data, End, Read, Processed},
     M::kIdle,
     kReadPending | kRequested | kRelaxed,
     0},
    {"RelaxedAcknowledgeLetsNextReadReport",
     {RelaxedOn, Read, ReqReported, ReqAcknowledged, Read},
     M::kIdle,
     kReadPending | kRequested | kRelaxed,
     0},
    {"StrictAcknowledgeKeepsReported",
     {Data, End, Query, Read, ReqReported, ReqAcknowledged},
     M::kSend,
     kMsg | kEnd | kReadPending | kReported,
     0},
};

INSTANTIATE_TEST_SUITE_P(Table, MessageExchange, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

struct AllowedCase {
  const char* name;
  std::vector<Ev> events;
  bool allowed;
};

TEST(MessageExchangeResponding, AllowedOnlyWhereAResponseMayBeQueued) {
  const AllowedCase cases[] = {
      {"Idle", {}, false},
      {"Read", {Data, End}, false},
      {"Query", {Data, End, Query}, true},
      {"Send", {Data, End, Query, Read}, true},
      {"Response", {Data, End, Query, Processed}, true},
      {"Done", {Data, End, Query, Read, Queued, Sent, Processed}, false},
      {"Deadlock", {Data, End, Query, Deadlock}, false},
      {"RelaxedIdle", {RelaxedOn}, true},
      {"RelaxedDone", {RelaxedOn, Data, End, Query, Read, Queued, Sent, Processed}, true},
      {"RelaxedIdleUnterminatedCannotHappen", {RelaxedOn, Read}, true},
      {"StrictIdleUnterminated", {Read}, false},
  };
  for (const AllowedCase& c : cases) {
    M m;
    for (Ev e : c.events) Apply(m, e);
    EXPECT_EQ(m.IsRespondingAllowed(), c.allowed) << c.name;
  }
}

TEST(MessageExchangeRelaxed, EnableAndDisable) {
  M m;
  std::uint32_t status = kStatusNotReported;
  m.EnableRelaxedMode(&status);
  EXPECT_EQ(status, 0u);
  EXPECT_TRUE(m.IsRelaxedMode());
  m.Reset();
  EXPECT_TRUE(m.IsRelaxedMode());  // kept across the reset at enable
  status = kStatusNotReported;
  m.DisableRelaxedMode(&status);
  EXPECT_EQ(status, 0u);
  EXPECT_FALSE(m.IsRelaxedMode());
}

}  // namespace
