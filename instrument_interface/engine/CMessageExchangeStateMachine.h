// The message exchange machine of one engine device (IEEE 488.2 message exchange protocol).
//
// It only keeps state: which host message is in the application's hands, whether a query was seen,
// whether the host wants to read, whether a response is queued or sent, and the protocol errors that
// follow (query INTERRUPTED, query UNTERMINATED, DEADLOCK). It also holds back a message, its END and
// triggers that arrive while the application is busy, and hands them on in order.
//
// Every event operation changes its own flags and then runs the step: the rule of the current state
// (MepStateTable), then the held-back work. The engine reads the flags afterwards and acts (posts an
// event, discards a response, starts a send). No lock of its own: the engine's operations drive it
// under the device's mutex with the transport held back, the transport's handlers while it is not.
#pragma once

#include <cstdint>

class CMessageExchangeStateMachine {
 public:
  enum State : std::int32_t {
    kIdle = 0,
    kRead = 1,
    kQuery = 2,
    kSend = 3,
    kResponse = 4,
    kDone = 5,
    kDeadlock = 6,
  };
  static constexpr int kStateCount = 7;

  CMessageExchangeStateMachine() = default;

  // --- events with the step ---
  void OnMessageData();
  void OnEndReceived();
  void OnTrigger();
  void OnReadRequest();
  void OnResponseQueued();
  void OnResponseSent();
  void OnResponseRequestReported();
  void OnQueryDetected();
  void OnMessageProcessed();
  void OnEndProcessed();
  void OnDeadlockRequest();
  void OnUnterminatedAcknowledged();
  void OnUnterminatedReported();
  void OnInterruptionReported();
  void OnDeviceClearDone();
  void OnTriggerDone();
  void OnTriggerReported();

  // --- operations without the step ---
  void Reset();
  void ResetForDeviceClear();
  void OnResponseRequestAcknowledged();
  void EnableRelaxedMode(std::uint32_t* status);
  void DisableRelaxedMode(std::uint32_t* status);

  // The state is QUERY, SEND or RESPONSE; or relaxed mode is on and the state is DONE, or IDLE
  // without unterminated.
  bool IsRespondingAllowed() const;

  State GetState() const { return static_cast<State>(state_); }
  bool IsMessageActive() const { return message_active_ != 0; }
  bool IsMessageHeldBack() const { return message_held_ != 0; }
  bool IsHostReadPending() const { return host_read_pending_ != 0; }
  bool IsEndReceived() const { return end_received_ != 0; }
  bool IsEndHeldBack() const { return end_held_ != 0; }
  bool IsResponseRequested() const { return response_requested_ != 0; }
  bool IsRequestReported() const { return request_reported_ != 0; }
  bool IsResponseQueued() const { return response_queued_ != 0; }
  bool IsResponseSent() const { return response_sent_ != 0; }
  bool IsDeviceClearActive() const { return device_clear_active_ != 0; }
  bool IsTriggerActive() const { return trigger_active_ != 0; }
  bool IsTriggerReported() const { return trigger_reported_ != 0; }
  std::uint32_t TriggersHeldBack() const { return triggers_held_; }
  bool IsInterrupted() const { return interrupted_ != 0; }
  bool IsUnterminated() const { return unterminated_ != 0; }
  bool IsUnterminatedReported() const { return unterminated_reported_ != 0; }
  bool IsRelaxedMode() const { return relaxed_mode_ != 0; }

 private:
  using Rule = void (CMessageExchangeStateMachine::*)();
  static const Rule MepStateTable[kStateCount];

  void Step();
  void RunRule();
  void RuleIdle();
  void RuleRead();
  void RuleQuery();
  void RuleSend();
  void RuleResponse();
  void RuleDone();
  void RuleDeadlock();

  // READ with a read pending and a detected query; QUERY with a read pending.
  void ReadQueryDetectedRows();
  void RequestResponseUnlessQueued();
  void Interrupt();  // response requested, request reported, response queued := 0; interrupted := 1
  void SetUnterminated();

  bool IsFree() const { return !end_received_ && !trigger_active_ && !unterminated_ && !device_clear_active_; }
  bool NothingHeldBack() const { return !message_held_ && !end_held_ && triggers_held_ == 0; }
  bool NothingElseInHand() const { return !end_received_ && !trigger_active_ && NothingHeldBack(); }
  bool InputHeldBack() const { return triggers_held_ != 0 || message_held_; }
  bool DoneOrIdleWithoutUnterminated() const { return state_ == kDone || (state_ == kIdle && !unterminated_); }

  std::int32_t state_ = kIdle;
  std::uint8_t message_active_ = 0;
  std::uint8_t message_held_ = 0;
  std::uint8_t host_read_pending_ = 0;
  std::uint8_t end_received_ = 0;
  std::uint8_t end_held_ = 0;
  std::uint8_t response_requested_ = 0;
  std::uint8_t request_reported_ = 0;
  std::uint8_t response_queued_ = 0;
  std::uint8_t response_sent_ = 0;
  std::uint8_t device_clear_active_ = 0;
  std::uint8_t trigger_active_ = 0;
  std::uint8_t trigger_reported_ = 0;
  std::uint32_t triggers_held_ = 0;
  std::uint8_t interrupted_ = 0;
  std::uint8_t unterminated_ = 0;
  std::uint8_t unterminated_reported_ = 0;
  std::uint8_t relaxed_mode_ = 0;
  // Transient: set by one event for the first run of the rule only.
  std::uint8_t message_processed_ = 0;
  std::uint8_t query_detected_ = 0;
  std::uint8_t read_request_ = 0;
  std::uint8_t deadlock_request_ = 0;
};
