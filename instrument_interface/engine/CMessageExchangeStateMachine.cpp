#include "engine/CMessageExchangeStateMachine.h"

#include "engine/DoVovuriStatus.h"

const CMessageExchangeStateMachine::Rule CMessageExchangeStateMachine::MepStateTable[kStateCount] = {
    &CMessageExchangeStateMachine::RuleIdle,     &CMessageExchangeStateMachine::RuleRead,
    &CMessageExchangeStateMachine::RuleQuery,    &CMessageExchangeStateMachine::RuleSend,
    &CMessageExchangeStateMachine::RuleResponse, &CMessageExchangeStateMachine::RuleDone,
    &CMessageExchangeStateMachine::RuleDeadlock,
};

void CMessageExchangeStateMachine::RunRule() {
  const Rule rule = MepStateTable[state_];
  (this->*rule)();
}

// --- the step ----------------------------------------------------------------------------------------

void CMessageExchangeStateMachine::Step() {
  RunRule();
  message_processed_ = 0;
  query_detected_ = 0;
  read_request_ = 0;
  deadlock_request_ = 0;

  if (NothingHeldBack()) return;
  if (end_received_ || trigger_active_ || unterminated_ || device_clear_active_) return;
  if (message_held_) {
    message_held_ = 0;
    message_active_ = 1;
    RunRule();
  }
  if (end_held_) {
    if (!end_received_ && !trigger_active_) {
      end_held_ = 0;
      end_received_ = 1;
    }
    RunRule();
    return;
  }
  if (triggers_held_ != 0) {
    if (IsFree()) {
      --triggers_held_;
      trigger_reported_ = 0;
      trigger_active_ = 1;
    }
    RunRule();
  }
}

// --- state rules -------------------------------------------------------------------------------------

void CMessageExchangeStateMachine::SetUnterminated() {
  unterminated_ = 1;
  unterminated_reported_ = 0;
}

void CMessageExchangeStateMachine::RequestResponseUnlessQueued() {
  if (!response_queued_ && !request_reported_) response_requested_ = 1;
}

void CMessageExchangeStateMachine::Interrupt() {
  response_requested_ = 0;
  request_reported_ = 0;
  response_queued_ = 0;
  interrupted_ = 1;
}

void CMessageExchangeStateMachine::RuleIdle() {
  if (message_active_ || trigger_active_) {
    state_ = kRead;
  } else if (host_read_pending_ && !relaxed_mode_ && NothingElseInHand() && !unterminated_) {
    SetUnterminated();
  }
}

void CMessageExchangeStateMachine::ReadQueryDetectedRows() {
  if (!query_detected_) return;
  if (trigger_active_ && message_active_) {
    state_ = kQuery;
    response_sent_ = 0;
  } else if (InputHeldBack() && !unterminated_) {
    response_queued_ = 0;
    interrupted_ = 1;
    response_sent_ = 0;
  } else {
    state_ = kSend;
    RequestResponseUnlessQueued();
    response_sent_ = 0;
  }
}

void CMessageExchangeStateMachine::RuleRead() {
  if (!host_read_pending_) {
    if (message_processed_) {
      state_ = kIdle;
    } else if (query_detected_) {
      state_ = kQuery;
      response_sent_ = 0;
    }
    return;
  }
  if (relaxed_mode_ && message_processed_) {
    state_ = kIdle;
    RequestResponseUnlessQueued();
  } else if (NothingElseInHand() && !unterminated_) {
    SetUnterminated();
  }
  ReadQueryDetectedRows();
}

void CMessageExchangeStateMachine::RuleQuery() {
  if (message_processed_) {
    if (!InputHeldBack()) {
      state_ = kResponse;
    } else {
      state_ = kRead;
      response_queued_ = 0;
      interrupted_ = 1;
    }
  } else if (host_read_pending_ && !(trigger_active_ && message_active_)) {
    if (NothingElseInHand() && !unterminated_) SetUnterminated();
    if (InputHeldBack() && !unterminated_) {
      state_ = kRead;
      response_queued_ = 0;
      interrupted_ = 1;
    } else {
      state_ = kSend;
      RequestResponseUnlessQueued();
    }
  } else if (deadlock_request_ && !(trigger_active_ && !message_active_)) {
    state_ = kDeadlock;
    response_requested_ = 0;
    request_reported_ = 0;
    response_queued_ = 0;
  }
}

void CMessageExchangeStateMachine::RuleSend() {
  if (message_processed_) {
    state_ = response_sent_ ? kDone : kResponse;
  } else if (NothingElseInHand() && !unterminated_) {
    SetUnterminated();
  } else if (InputHeldBack() && !unterminated_ && !response_sent_) {
    // Input that arrives after the whole response (END included) has gone interrupts nothing: the host
    // has read it, and may write its next message before the application has said that the query's
    // message is done. That input stays held back until then (the step hands it on).
    state_ = kRead;
    Interrupt();
  }
}

void CMessageExchangeStateMachine::RuleResponse() {
  if (response_sent_) {
    state_ = kDone;
  } else if (read_request_ && !response_queued_ && !request_reported_) {
    response_requested_ = 1;
  } else if (message_active_ || trigger_active_) {
    state_ = kRead;
    Interrupt();
  }
}

void CMessageExchangeStateMachine::RuleDone() {
  if (message_active_ || trigger_active_) state_ = kRead;
}

void CMessageExchangeStateMachine::RuleDeadlock() {
  if (message_processed_) state_ = kDone;
}

// --- events ------------------------------------------------------------------------------------------

void CMessageExchangeStateMachine::OnMessageData() {
  host_read_pending_ = 0;
  if (!end_received_ && !trigger_active_) {
    message_active_ = 1;
  } else {
    message_held_ = 1;
  }
  Step();
}

void CMessageExchangeStateMachine::OnEndReceived() {
  if (!end_received_ && !trigger_active_) {
    end_received_ = 1;
  } else {
    end_held_ = 1;
  }
  Step();
}

void CMessageExchangeStateMachine::OnTrigger() {
  host_read_pending_ = 0;
  if (IsFree()) {
    trigger_active_ = 1;
    trigger_reported_ = 0;
  } else {
    ++triggers_held_;
  }
  Step();
}

void CMessageExchangeStateMachine::OnReadRequest() {
  if (relaxed_mode_ && DoneOrIdleWithoutUnterminated() && !response_queued_ && !request_reported_) {
    response_requested_ = 1;
  }
  host_read_pending_ = 1;
  read_request_ = 1;
  Step();
}

void CMessageExchangeStateMachine::OnResponseQueued() {
  if (relaxed_mode_ && DoneOrIdleWithoutUnterminated()) {
    state_ = kResponse;
    end_received_ = 0;
    message_active_ = 0;
    host_read_pending_ = 0;
    response_sent_ = 0;
  }
  response_requested_ = 0;
  request_reported_ = 0;
  response_queued_ = 1;
  Step();
}

void CMessageExchangeStateMachine::OnResponseSent() {
  response_queued_ = 0;
  response_sent_ = 1;
  Step();
}

void CMessageExchangeStateMachine::OnResponseRequestReported() {
  request_reported_ = 1;
  response_requested_ = 0;
  Step();
}

void CMessageExchangeStateMachine::OnQueryDetected() {
  query_detected_ = 1;
  Step();
}

void CMessageExchangeStateMachine::OnMessageProcessed() {
  end_received_ = 0;
  message_active_ = 0;
  trigger_active_ = 0;
  message_processed_ = 1;
  Step();
}

void CMessageExchangeStateMachine::OnEndProcessed() {
  end_received_ = 0;
  Step();
}

void CMessageExchangeStateMachine::OnDeadlockRequest() {
  deadlock_request_ = 1;
  Step();
}

void CMessageExchangeStateMachine::OnUnterminatedAcknowledged() {
  unterminated_ = 0;
  response_queued_ = 0;
  response_requested_ = 0;
  request_reported_ = 0;
  message_active_ = 0;
  state_ = kDone;
  Step();
}

void CMessageExchangeStateMachine::OnUnterminatedReported() {
  unterminated_reported_ = 1;
  Step();
}

void CMessageExchangeStateMachine::OnInterruptionReported() {
  interrupted_ = 0;
  Step();
}

void CMessageExchangeStateMachine::OnDeviceClearDone() {
  device_clear_active_ = 0;
  Step();
}

void CMessageExchangeStateMachine::OnTriggerDone() {
  trigger_active_ = 0;
  Step();
}

void CMessageExchangeStateMachine::OnTriggerReported() {
  trigger_reported_ = 1;
  Step();
}

// --- operations without the step ---------------------------------------------------------------------

void CMessageExchangeStateMachine::Reset() {
  state_ = kIdle;
  message_active_ = message_held_ = host_read_pending_ = end_received_ = end_held_ = 0;
  response_requested_ = request_reported_ = response_queued_ = response_sent_ = 0;
  device_clear_active_ = trigger_active_ = trigger_reported_ = 0;
  triggers_held_ = 0;
  interrupted_ = unterminated_ = unterminated_reported_ = 0;
  message_processed_ = query_detected_ = read_request_ = deadlock_request_ = 0;
}

void CMessageExchangeStateMachine::ResetForDeviceClear() {
  Reset();
  device_clear_active_ = 1;
}

void CMessageExchangeStateMachine::OnResponseRequestAcknowledged() {
  if (relaxed_mode_ && DoneOrIdleWithoutUnterminated()) request_reported_ = 0;
}

void CMessageExchangeStateMachine::EnableRelaxedMode(std::uint32_t* status) {
  relaxed_mode_ = 1;
  *status = kStatusSuccess;
}

void CMessageExchangeStateMachine::DisableRelaxedMode(std::uint32_t* status) {
  relaxed_mode_ = 0;
  *status = kStatusSuccess;
}

bool CMessageExchangeStateMachine::IsRespondingAllowed() const {
  if (state_ == kQuery || state_ == kSend || state_ == kResponse) return true;
  return relaxed_mode_ && DoneOrIdleWithoutUnterminated();
}
