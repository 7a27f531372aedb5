#include "vxi11/CVxi11PhysicalInterface.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "engine/CDataBuffer.h"
#include "vxi11/Vxi11Status.h"
#include "vxi11/CVxi11LinkManager.h"

namespace {

constexpr std::uint8_t kFlagTrigger = 0x01;
constexpr std::uint8_t kFlagRemoteLocal = 0x02;
constexpr std::uint8_t kFlagInputReady = 0x04;
constexpr std::uint8_t kFlagStatusByte = 0x10;

constexpr std::int32_t kOperationNone = 0;
constexpr std::int32_t kOperationWrite = 1;
constexpr std::int32_t kOperationRead = 2;

enum SimpleKind { kTrigger, kClear, kRemote, kLocal };

}  // namespace

// What the engine side hands over to the running link operation. The engine writes before it posts
// the completion the operation waits for; the fields are atomic because the two sides run on
// different threads and some are read by the engine at any time (IsReceiveActive, ClampTransfer).
struct CVxi11PhysicalInterface::Shared {
  std::atomic<CDataBuffer*> window{nullptr};
  std::atomic<std::int32_t> window_kind{kOperationNone};  // the operation the window was given for
  std::atomic<std::int32_t> operation{kOperationNone};
  std::atomic<std::uint8_t> status_byte_timed_out{0};
  std::atomic<std::uint8_t> status_byte{0};
  std::atomic<std::uint8_t> flags{0};
  std::atomic<std::uint8_t> termchar_enabled{0};
  std::atomic<std::uint8_t> termchar{10};
  std::atomic<std::int32_t> remaining_request{0};
  std::atomic<std::uint8_t> termchar_found{0};
  std::atomic<std::uint8_t> end{0};
  std::atomic<std::uint8_t> clear_done{0};
  std::atomic<std::uint8_t> enabled{0};
};

CVxi11PhysicalInterface::CVxi11PhysicalInterface(std::uint32_t device_index, std::uint32_t plugin_id,
                                                 std::uint32_t* status)
    : CPhysicalInterface(nullptr, device_index, plugin_id, status) {
  if (*status != kStatusSuccess) return;
  shared_ = new (std::nothrow) Shared;
  locks_ = new (std::nothrow) CVxi11LockManager;
  waiter_ = new (std::nothrow) CVxi11IoCompletionWaiter;
  gate_ = new (std::nothrow) CVxi11EventDispatcherGate;
  exchange_ = new (std::nothrow) CVxi11MessageExchange;
  if (gate_ != nullptr && waiter_ != nullptr && locks_ != nullptr) {
    waiter_->SetGate(gate_);
    queue_ = new (std::nothrow) CVxi11LinkQueue(gate_, waiter_, locks_);
  }
  if (shared_ != nullptr && locks_ != nullptr && waiter_ != nullptr && gate_ != nullptr && queue_ != nullptr &&
      exchange_ != nullptr && !locks_->IsFailed() && !waiter_->IsFailed() && !gate_->IsFailed() &&
      !queue_->IsFailed()) {
    constructed_ = 1;
  }
}

CVxi11PhysicalInterface::~CVxi11PhysicalInterface() {
  delete locks_;
  delete queue_;
  delete waiter_;
  delete gate_;
  delete exchange_;
  delete shared_;
}

// ---------------------------------------------------------------------------------------------------
// Engine side

bool CVxi11PhysicalInterface::IsEnabled() { return shared_ != nullptr && shared_->enabled.load() != 0; }

void CVxi11PhysicalInterface::SetEnabledFlag(bool enabled) { shared_->enabled.store(enabled ? 1 : 0); }

void CVxi11PhysicalInterface::Enable(const void* settings, std::uint32_t* status) {
  *status = kStatusSuccess;
  if (constructed_ == 0) {
    *status = kStatusInterfaceNotEnabled;
    return;
  }
  if (IsEnabled()) return;
  queue_->Enable();
  locks_->Enable();
  waiter_->Enable();
  exchange_->Enable();
  // Link operations wait at the gate until the engine's first resume.
  gate_->Reset();
  shared_->window.store(nullptr);
  shared_->operation.store(kOperationNone);
  shared_->status_byte_timed_out.store(0);
  RegisterVxi11DeviceName(this, settings, status);
  if (*status != kStatusSuccess) {
    gate_->Close();
    exchange_->Disable();
    waiter_->Disable();
    locks_->Disable();
    queue_->Disable();
  }
}

void CVxi11PhysicalInterface::Disable(std::uint32_t* status) {
  *status = kStatusSuccess;
  if (!IsEnabled()) return;
  std::uint32_t ignored = 0;
  UnregisterVxi11DeviceName(this, &ignored);
  shared_->enabled.store(0);
  gate_->Close();
  shared_->flags.store(0);
  // Every waiting link operation ends with kVxi11StatusAborted, the lock owner and the kept responses are forgotten.
  exchange_->Disable();
  waiter_->Disable();
  locks_->Disable();
  queue_->Disable();
  Vxi11DropInterfaceLinks(this);
}

void CVxi11PhysicalInterface::ResumeEvents(std::uint32_t* status) {
  // Counted also while disabled: the engine's Disable resumes after the interface is closed.
  gate_->Resume();
  *status = kStatusSuccess;
}

void CVxi11PhysicalInterface::SuspendEvents(std::uint32_t* status) {
  gate_->Suspend();
  *status = kStatusSuccess;
}

void CVxi11PhysicalInterface::EnableTrigger(std::uint32_t* status) {
  shared_->flags.fetch_or(kFlagTrigger);
  *status = kStatusSuccess;
}

void CVxi11PhysicalInterface::DisableTrigger(std::uint32_t* status) {
  shared_->flags.fetch_and(static_cast<std::uint8_t>(~kFlagTrigger));
  *status = kStatusSuccess;
}

void CVxi11PhysicalInterface::EnableRemoteLocal(std::uint32_t* status) {
  shared_->flags.fetch_or(kFlagRemoteLocal);
  *status = kStatusSuccess;
}

void CVxi11PhysicalInterface::DisableRemoteLocal(std::uint32_t* status) {
  shared_->flags.fetch_and(static_cast<std::uint8_t>(~kFlagRemoteLocal));
  *status = kStatusSuccess;
}

void CVxi11PhysicalInterface::InputBufferReady(std::uint32_t* status) {
  if (!IsEnabled()) {
    *status = kStatusInterfaceNotEnabled;
    return;
  }
  shared_->flags.fetch_or(kFlagInputReady);
  *status = kStatusSuccess;
}

void CVxi11PhysicalInterface::DeviceClearDone(std::uint32_t* status) {
  if (!IsEnabled()) {
    *status = kStatusInterfaceNotEnabled;
    return;
  }
  shared_->clear_done.store(1);
  waiter_->Complete(kVxi11CompletionClearDone);
  *status = kStatusSuccess;
}

void CVxi11PhysicalInterface::ReturnToLocal(std::uint32_t* status) {
  *status = IsEnabled() ? kStatusSuccess : kStatusInterfaceNotEnabled;
}

void CVxi11PhysicalInterface::AttachInputBuffer(CDataBuffer*, std::uint32_t* status) {
  exchange_->InputPosted();
  *status = kStatusSuccess;
}

void CVxi11PhysicalInterface::AttachOutputBuffer(CDataBuffer*, std::uint32_t* status) {
  exchange_->ResponseQueued();
  *status = kStatusSuccess;
}

void CVxi11PhysicalInterface::Receive(CDataBuffer* buffer, std::uint32_t* status) {
  if (!IsEnabled()) {
    *status = kStatusInterfaceNotEnabled;
    return;
  }
  shared_->window_kind.store(kOperationWrite);
  shared_->window.store(buffer);
  waiter_->Complete(kVxi11CompletionReceiveWindow);
  *status = kStatusSuccess;
}

void CVxi11PhysicalInterface::CancelReceive(std::uint32_t* count, bool* end, std::uint32_t* status) {
  *count = 0;
  *end = false;
  if (!IsEnabled()) {
    *status = kStatusInterfaceNotEnabled;
    return;
  }
  shared_->window.store(nullptr);
  *status = kStatusSuccess;
}

void CVxi11PhysicalInterface::Send(CDataBuffer* buffer, bool term_char_found, bool end, std::uint32_t* status) {
  if (!IsEnabled()) {
    *status = kStatusInterfaceNotEnabled;
    return;
  }
  shared_->termchar_found.store(term_char_found ? 1 : 0);
  shared_->end.store(end ? 1 : 0);
  shared_->window_kind.store(kOperationRead);
  shared_->window.store(buffer);
  waiter_->Complete(kVxi11CompletionSendWindow);
  *status = kStatusSuccess;
}

void CVxi11PhysicalInterface::CancelSend(std::uint32_t* count, std::uint32_t* status) {
  *count = 0;
  if (!IsEnabled()) {
    *status = kStatusInterfaceNotEnabled;
    return;
  }
  shared_->window.store(nullptr);
  *status = kStatusSuccess;
}

bool CVxi11PhysicalInterface::IsReceiveActive() { return shared_->operation.load() == kOperationWrite; }

bool CVxi11PhysicalInterface::IsSendActive() { return shared_->operation.load() == kOperationRead; }

void CVxi11PhysicalInterface::ClampTransfer(CDataBuffer* buffer) {
  const std::uint32_t start = buffer->WindowStart();
  std::uint32_t end = buffer->WindowEnd();
  if (shared_->operation.load() == kOperationWrite) {
    end = std::min(end, start + kVxi11MaxChunk);
  } else {
    const std::int32_t remaining = shared_->remaining_request.load();
    end = std::min(end, start + static_cast<std::uint32_t>(std::max(remaining, 0)));
  }
  buffer->SetWindow(start, end);
}

bool CVxi11PhysicalInterface::IsTermCharEnabled() { return shared_->termchar_enabled.load() != 0; }

std::uint8_t CVxi11PhysicalInterface::GetTermChar() { return shared_->termchar.load(); }

bool CVxi11PhysicalInterface::IsConstructed() { return constructed_ != 0; }

void CVxi11PhysicalInterface::AssertServiceRequest(std::uint32_t* status) {
  if (!IsEnabled()) {
    *status = kStatusInterfaceNotEnabled;
    return;
  }
  Vxi11AssertSrqHandler(this, status);
}

void CVxi11PhysicalInterface::WithdrawServiceRequest(std::uint32_t* status) {
  if (!IsEnabled()) {
    *status = kStatusInterfaceNotEnabled;
    return;
  }
  Vxi11WithdrawSrqHandler(this, status);
}

void CVxi11PhysicalInterface::ReportStatusByte(std::uint8_t byte, std::uint32_t* status) {
  if (!IsEnabled()) {
    *status = kStatusInterfaceNotEnabled;
    return;
  }
  *status = kStatusSuccess;
  // A late report after a device_readstb gave up waiting is ignored until the next device_readstb.
  if (shared_->status_byte_timed_out.load() != 0) return;
  shared_->status_byte.store(byte);
  shared_->flags.fetch_or(kFlagStatusByte);
  waiter_->Complete(kVxi11CompletionStatusByte);
}

// ---------------------------------------------------------------------------------------------------
// Link side

namespace {

// How long the device clear of a link that went with an incomplete message may take.
constexpr std::uint32_t kGoneLinkClearMs = 2000;

// The status of a wait of `guard` that ended without what it waited for.
std::uint32_t EndedWait(CVxi11LinkOperationGuard* guard) {
  return guard->Cancelled() ? kVxi11StatusAborted : kVxi11StatusTimedOut;
}

}  // namespace

void CVxi11PhysicalInterface::WaitCompletion(std::uint32_t lid, std::int32_t code, CVxi11LinkOperationGuard* guard,
                                             std::uint32_t* status) {
  waiter_->Wait(lid, code, guard, status);
}

void CVxi11PhysicalInterface::ParkWindow() {
  // A window the engine gave to an operation that had already given up (timed out or aborted while
  // the engine was on its way): handed back untouched, so that the next transfer starts afresh, with
  // its own request size, termination character and END.
  CDataBuffer* window = shared_->window.exchange(nullptr);
  if (window == nullptr) return;
  shared_->operation.store(kOperationNone);
  if (shared_->window_kind.load() == kOperationRead) {
    DataSent(0);
  } else {
    DataReceived(0, false);
  }
}

void CVxi11PhysicalInterface::WaitForExchange(std::uint32_t lid, bool need_input, CVxi11LinkOperationGuard* guard,
                                              std::uint32_t* status) {
  for (;;) {
    std::uint32_t owner = 0;
    std::uint64_t seen = 0;
    const CVxi11MessageExchange::WriteStep step = exchange_->NextWriteStep(lid, need_input, &owner, &seen);
    switch (step) {
      case CVxi11MessageExchange::WriteStep::kWait:
        // Another link's message is with the device: wait for it without holding the device (nor a
        // place in the queue).
        guard->LeaveTurn();
        if (guard->Cancelled() || !exchange_->Wait(seen, guard->Recompute(), guard)) {
          *status = EndedWait(guard);
          return;
        }
        break;
      case CVxi11MessageExchange::WriteStep::kSetAside:
        guard->TakeTurn(status);
        if (*status == kStatusSuccess) {
          SetAside(owner, guard, status);
        } else {
          std::vector<std::uint8_t> nothing;
          exchange_->FinishSetAside(owner, &nothing, false);
        }
        guard->LeaveTurn();
        if (*status != kStatusSuccess) return;
        break;
      case CVxi11MessageExchange::WriteStep::kProceed:
      case CVxi11MessageExchange::WriteStep::kInterrupt:
        guard->TakeTurn(status);
        if (*status != kStatusSuccess) return;
        if (exchange_->Claim(lid, need_input, step == CVxi11MessageExchange::WriteStep::kInterrupt)) return;
        guard->LeaveTurn();  // another link came first
        break;
    }
  }
}

void CVxi11PhysicalInterface::SetAside(std::uint32_t owner, CVxi11LinkOperationGuard* guard, std::uint32_t* status) {
  std::vector<std::uint8_t> bytes;
  if (!exchange_->CanSetAside(owner)) {
    exchange_->FinishSetAside(owner, &bytes, false);
    return;
  }
  ParkWindow();
  // The whole rest of the response, in as few windows as the engine gives.
  shared_->termchar_enabled.store(0);
  shared_->termchar_found.store(0);
  shared_->end.store(0);
  shared_->remaining_request.store(0x7FFFFFFF);
  shared_->operation.store(kOperationRead);
  ArmSend();
  bool end = false;
  while (!end && *status == kStatusSuccess) {
    while (shared_->window.load() == nullptr) {
      WaitCompletion(guard->Lid(), kVxi11CompletionSendWindow, guard, status);
      if (*status != kStatusSuccess) break;
    }
    if (*status != kStatusSuccess) break;
    CDataBuffer* window = shared_->window.load();
    const std::uint32_t n =
        window->WindowEnd() > window->WindowStart() ? window->WindowEnd() - window->WindowStart() : 0;
    const std::uint8_t* from = window->Data() + window->WindowStart();
    bytes.insert(bytes.end(), from, from + n);
    end = shared_->end.load() != 0;
    shared_->window.store(nullptr);
    if (end) {
      shared_->operation.store(kOperationNone);
      shared_->remaining_request.store(0);
    }
    DataSent(n);
  }
  shared_->operation.store(kOperationNone);
  shared_->remaining_request.store(0);
  exchange_->FinishSetAside(owner, &bytes, end);
}

std::uint32_t CVxi11PhysicalInterface::LinkWrite(const Vxi11LinkCall& call, bool end, std::uint32_t length,
                                                 const std::uint8_t* data, std::uint32_t* status) {
  const std::uint32_t lid = call.lid;
  CVxi11LinkOperationGuard guard;
  guard.Begin(this, call, status);
  if (*status != kStatusSuccess) return 0;
  if (length == 0) return 0;  // nothing reaches the engine, END included

  // The exchange becomes this link's (with the turn): no other link's message or response is in the
  // device now.
  WaitForExchange(lid, true, &guard, status);
  if (*status != kStatusSuccess) return 0;
  exchange_->MessageStarting(lid);
  ParkWindow();

  shared_->operation.store(kOperationWrite);
  ArmReceive();
  std::uint32_t accepted = 0;
  bool delivered = false;  // bytes of this write reached the device
  while (*status == kStatusSuccess) {
    while (shared_->window.load() == nullptr) {
      WaitCompletion(lid, kVxi11CompletionReceiveWindow, &guard, status);
      if (*status != kStatusSuccess) break;
    }
    if (*status != kStatusSuccess) break;
    if ((shared_->flags.fetch_and(static_cast<std::uint8_t>(~kFlagInputReady)) & kFlagInputReady) != 0) {
      BeginReceive();  // a new program message starts in the engine's buffer
    }
    CDataBuffer* window = shared_->window.load();
    if (window == nullptr) continue;  // the engine took the window back in BeginReceive
    const std::uint32_t room =
        window->WindowEnd() > window->WindowStart() ? window->WindowEnd() - window->WindowStart() : 0;
    const std::uint32_t n = std::min(room, length - accepted);
    if (n > 0) std::memcpy(window->Data() + window->WindowStart(), data + accepted, n);
    accepted += n;
    const bool last = accepted == length;
    if (!last) {
      if (guard.Cancelled()) {
        *status = kVxi11StatusAborted;
      } else if (guard.Recompute() == 0) {
        // Time is up before every byte was delivered (a write that completes is not a time-out).
        *status = kVxi11StatusTimedOut;
      }
    }
    if (last || *status != kStatusSuccess) shared_->operation.store(kOperationNone);
    shared_->window.store(nullptr);
    // The message is complete: the device's next response is this link's.
    if (end && last) exchange_->MessageDelivered(lid);
    DataReceived(n, end && last);
    if (n > 0 && !(end && last)) {
      exchange_->PartDelivered(lid);
      delivered = true;
    }
    if (last) break;
  }
  shared_->operation.store(kOperationNone);
  if (*status != kStatusSuccess && !delivered) exchange_->Abandon(lid);
  return accepted;
}

std::uint32_t CVxi11PhysicalInterface::LinkRead(const Vxi11LinkCall& call, bool termchar_set, std::uint8_t termchar,
                                                std::uint32_t count, std::uint8_t* destination, std::uint32_t* reason,
                                                std::uint32_t* status) {
  const std::uint32_t lid = call.lid;
  CVxi11LinkOperationGuard guard;
  guard.Begin(this, call, status);
  if (*status != kStatusSuccess) return 0;
  if (count == 0) return 0;

  std::uint32_t collected = 0;
  bool probed = false;
  for (;;) {
    std::uint64_t seen = 0;
    const CVxi11MessageExchange::ReadStep step = exchange_->NextReadStep(lid, probed, &seen);
    switch (step) {
      case CVxi11MessageExchange::ReadStep::kMailbox: {
        bool end = false;
        bool termchar_found = false;
        bool drained = false;
        collected += exchange_->ReadMailbox(lid, termchar_set, termchar, count - collected, destination + collected,
                                            &end, &termchar_found, &drained);
        if (end) *reason |= kVxi11ReasonEnd;
        if (termchar_found) *reason |= kVxi11ReasonTermChar;
        // Whatever of the response was not set aside is still in the device.
        if (*reason != 0 || collected == count || !drained) return collected;
        break;
      }
      case CVxi11MessageExchange::ReadStep::kLost:
        // Interrupted by another link's message while nobody could keep it.
        exchange_->DropMailbox(lid);
        *status = kVxi11StatusResponseLost;
        return collected;
      case CVxi11MessageExchange::ReadStep::kDevice:
        guard.TakeTurn(status);
        if (*status != kStatusSuccess) return collected;
        if (exchange_->NextReadStep(lid, probed, &seen) != CVxi11MessageExchange::ReadStep::kDevice) {
          guard.LeaveTurn();  // set aside meanwhile
          break;
        }
        return collected + ReadFromDevice(lid, &guard, termchar_set, termchar, count - collected,
                                          destination + collected, reason, status);
      case CVxi11MessageExchange::ReadStep::kEndMessage:
      case CVxi11MessageExchange::ReadStep::kProbe: {
        // The read reaches the device, which reports the query unterminated (its message, if any, ends
        // there); nothing is sent for it.
        guard.TakeTurn(status);
        if (*status != kStatusSuccess) return collected;
        if (exchange_->NextReadStep(lid, probed, &seen) == step) {
          if (step == CVxi11MessageExchange::ReadStep::kEndMessage) exchange_->MessageDelivered(lid);
          ParkWindow();
          shared_->termchar_enabled.store(0);
          shared_->termchar_found.store(0);
          shared_->end.store(0);
          shared_->remaining_request.store(0);
          shared_->operation.store(kOperationRead);
          ArmSend();
          shared_->operation.store(kOperationNone);
          ParkWindow();  // a window nobody owns stays with the device
        }
        probed = true;
        guard.LeaveTurn();
        break;
      }
      case CVxi11MessageExchange::ReadStep::kWait:
        // The response is not queued yet, or nothing is owed to this link: wait without holding the
        // device (nor a place in the queue).
        guard.LeaveTurn();
        if (guard.Cancelled() || !exchange_->Wait(seen, guard.Recompute(), &guard)) {
          *status = EndedWait(&guard);
          return collected;
        }
        break;
    }
  }
}

std::uint32_t CVxi11PhysicalInterface::ReadFromDevice(std::uint32_t lid, CVxi11LinkOperationGuard* guard_pointer,
                                                      bool termchar_set, std::uint8_t termchar, std::uint32_t count,
                                                      std::uint8_t* destination, std::uint32_t* reason,
                                                      std::uint32_t* status) {
  CVxi11LinkOperationGuard& guard = *guard_pointer;
  ParkWindow();
  shared_->termchar_enabled.store(termchar_set ? 1 : 0);
  if (termchar_set) shared_->termchar.store(termchar);
  shared_->termchar_found.store(0);
  shared_->end.store(0);
  shared_->remaining_request.store(static_cast<std::int32_t>(std::min<std::uint32_t>(count, 0x7FFFFFFF)));
  shared_->operation.store(kOperationRead);
  ArmSend();
  std::uint32_t collected = 0;
  while (collected < count && *reason == 0 && *status == kStatusSuccess) {
    while (shared_->window.load() == nullptr) {
      WaitCompletion(lid, kVxi11CompletionSendWindow, &guard, status);
      if (*status != kStatusSuccess) {
        shared_->operation.store(kOperationNone);
        shared_->remaining_request.store(0);
        return collected;
      }
    }
    CDataBuffer* window = shared_->window.load();
    const std::uint32_t available =
        window->WindowEnd() > window->WindowStart() ? window->WindowEnd() - window->WindowStart() : 0;
    const std::uint32_t n = std::min(available, count - collected);
    if (n > 0) std::memcpy(destination + collected, window->Data() + window->WindowStart(), n);
    // END and the termination character belong to the window's last byte.
    if (n == available) {
      if (shared_->end.load() != 0) *reason |= kVxi11ReasonEnd;
      if (shared_->termchar_found.load() != 0) *reason |= kVxi11ReasonTermChar;
    }
    collected += n;
    const std::uint32_t wanted = count - collected;
    if (wanted > 0 && *reason == 0) {
      if (guard.Cancelled()) {
        *status = kVxi11StatusAborted;
      } else if (guard.Recompute() == 0) {
        *status = kVxi11StatusTimedOut;
      }
    }
    shared_->window.store(nullptr);
    if (wanted > 0 && *reason == 0 && *status == kStatusSuccess) {
      shared_->remaining_request.store(static_cast<std::int32_t>(std::min<std::uint32_t>(wanted, 0x7FFFFFFF)));
    } else {
      shared_->operation.store(kOperationNone);
      shared_->remaining_request.store(0);
    }
    DataSent(n);
  }
  shared_->operation.store(kOperationNone);
  if ((*reason & kVxi11ReasonEnd) != 0) exchange_->ResponseTaken(lid);  // the response was read whole
  return collected;
}

void CVxi11PhysicalInterface::LinkReadStatusByte(CVxi11Connection* connection, std::uint32_t xid,
                                                 const Vxi11LinkCall& call, std::uint32_t* status) {
  const std::uint32_t lid = call.lid;
  CVxi11LinkOperationGuard guard;
  guard.Begin(this, call, status);
  if (*status == kStatusSuccess) guard.TakeTurn(status);
  if (*status != kStatusSuccess) return;  // nothing sent: the caller answers

  shared_->status_byte_timed_out.store(0);
  shared_->flags.fetch_and(static_cast<std::uint8_t>(~kFlagStatusByte));
  StatusReadBegin();  // the engine may report the status byte at once
  std::uint32_t wait_status = kStatusSuccess;
  if ((shared_->flags.load() & kFlagStatusByte) == 0) {
    WaitCompletion(lid, kVxi11CompletionStatusByte, &guard, &wait_status);
    if (wait_status == kVxi11StatusTimedOut) shared_->status_byte_timed_out.store(1);
  }
  std::uint32_t send_status = kStatusSuccess;
  connection->SendReadStbReply(xid, shared_->status_byte.load(), wait_status, &send_status);
  // The engine's status read ends inside the gate, so the engine never keeps a status read open; a
  // closed gate (the interface went) or an abort skips it.
  bool inside = guard.GatePassed();
  bool extra_pass = false;
  if (!inside) {
    std::uint32_t pass_status = kStatusSuccess;
    gate_->Pass(lid, kVxi11WaitForever, &pass_status);
    inside = extra_pass = pass_status == kStatusSuccess;
  }
  if (inside) StatusReadEnd();
  if (extra_pass) gate_->Leave();
  *status = kStatusSuccess;
}

void CVxi11PhysicalInterface::SimpleOperation(int which, const Vxi11LinkCall& call, std::uint32_t* status) {
  CVxi11LinkOperationGuard guard;
  guard.Begin(this, call, status);
  if (*status == kStatusSuccess) guard.TakeTurn(status);
  if (*status != kStatusSuccess) return;
  const std::uint8_t flags = shared_->flags.load();
  switch (which) {
    case kTrigger:
      if ((flags & kFlagTrigger) == 0) {
        *status = kVxi11StatusNotSupported;
      } else {
        Trigger();
      }
      break;
    case kRemote:
    case kLocal:
      if ((flags & kFlagRemoteLocal) == 0) {
        *status = kVxi11StatusNotSupported;
      } else {
        RemoteLocalChanged(which == kRemote ? kRemoteLocalRwls : kRemoteLocalLocs);
      }
      break;
    default: break;
  }
}

void CVxi11PhysicalInterface::ClearDevice(std::uint32_t lid, CVxi11LinkOperationGuard* guard, std::uint32_t* status) {
  shared_->clear_done.store(0);
  DeviceClear();
  // The device's input and output are reset: it owes no link anything now.
  exchange_->Cleared();
  // The clear of a link that went is not waited for: nobody waits for its answer.
  if (lid != 0 && shared_->clear_done.load() == 0) WaitCompletion(lid, kVxi11CompletionClearDone, guard, status);
}

void CVxi11PhysicalInterface::LinkTrigger(const Vxi11LinkCall& call, std::uint32_t* status) {
  SimpleOperation(kTrigger, call, status);
}

void CVxi11PhysicalInterface::LinkClear(const Vxi11LinkCall& call, std::uint32_t* status) {
  const std::uint32_t lid = call.lid;
  CVxi11LinkOperationGuard guard;
  guard.Begin(this, call, status);
  if (*status != kStatusSuccess) return;
  // Another link's query in progress is not cleared away: the clear waits for its response (which is
  // set aside when the link does not read it), as a write would.
  WaitForExchange(lid, false, &guard, status);
  if (*status != kStatusSuccess) return;
  ClearDevice(lid, &guard, status);
  exchange_->DropMailbox(lid);
}

void CVxi11PhysicalInterface::LinkRemote(const Vxi11LinkCall& call, std::uint32_t* status) {
  SimpleOperation(kRemote, call, status);
}

void CVxi11PhysicalInterface::LinkLocal(const Vxi11LinkCall& call, std::uint32_t* status) {
  SimpleOperation(kLocal, call, status);
}

void CVxi11PhysicalInterface::LinkLock(std::uint32_t lid, bool waitlock, std::uint32_t lock_timeout,
                                       std::uint32_t* status) {
  if (!IsEnabled()) {
    *status = kStatusInterfaceNotEnabled;
    return;
  }
  // The wait for the lock ends early like an I/O operation's (device_abort, the client gone).
  CVxi11LinkOperationGuard guard;
  guard.Register(this, lid);
  locks_->Lock(lid, waitlock ? lock_timeout : 0, status, &guard);
}

void CVxi11PhysicalInterface::LinkUnlock(std::uint32_t lid, std::uint32_t* status) {
  if (!IsEnabled()) {
    *status = kStatusInterfaceNotEnabled;
    return;
  }
  locks_->Unlock(lid);
  *status = kStatusSuccess;
}

void CVxi11PhysicalInterface::LinkOpened(std::uint32_t lid, CVxi11Connection* connection) {
  exchange_->Open(lid, connection);
}

void CVxi11PhysicalInterface::LinkGoing(std::uint32_t lid) {
  exchange_->Going(lid);
  queue_->Abort(lid);  // wakes a wait in the lock check, the turn, the gate or a completion at once
}

void CVxi11PhysicalInterface::LinkClosed(std::uint32_t lid) {
  exchange_->Going(lid);
  if (IsEnabled() && exchange_->Owner() == lid && exchange_->OwnerHasPartialMessage()) {
    // Part of the link's message is in the device without its END: a device clear drops it, so that
    // the next link's message does not continue it.
    CVxi11LinkOperationGuard guard;
    guard.Register(this, 0);
    guard.StartClock(kGoneLinkClearMs);
    std::uint32_t status = kStatusSuccess;
    guard.TakeTurn(&status);
    if (status == kStatusSuccess && exchange_->Owner() == lid) ClearDevice(0, &guard, &status);
  }
  exchange_->Close(lid);
}

void CVxi11PhysicalInterface::LinkAbort(std::uint32_t lid, std::uint32_t* status) {
  if (!IsEnabled()) {
    *status = kStatusInterfaceNotEnabled;
    return;
  }
  exchange_->Abort(lid);
  queue_->Abort(lid);
  *status = kStatusSuccess;
}
